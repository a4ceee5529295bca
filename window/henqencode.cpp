#include "henq.h"

#include "jobtypes/jobverdict.h"

#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolButton>

// The window as the view of the encode job: it starts the job with the fields' values, shows
// its command line, progress, output and end, and offers to stop it.

namespace {

// The log pane keeps the newest part of the encoder's output: at most this many lines and
// characters. It is cut back in steps, so that the cut happens rarely.
constexpr int maxLogLines = 10000;
constexpr int maxLogCharacters = 4 * 1024 * 1024;
constexpr int trimLines = 1000;
constexpr int trimCharacters = 512 * 1024;

QString clockText(double seconds)
{
    const qint64 whole = static_cast<qint64>(seconds + 0.5);
    const qint64 hours = whole / 3600, minutes = whole / 60 % 60, rest = whole % 60;
    const QString minutesAndSeconds =
        QStringLiteral("%1:%2").arg(minutes).arg(rest, 2, 10, QLatin1Char('0'));
    return hours > 0 ? QStringLiteral("%1:%2").arg(hours).arg(minutesAndSeconds.rightJustified(5, QLatin1Char('0')))
                     : minutesAndSeconds;
}

} // namespace

void HenQ::onEncode()
{
    if (job->isRunning()) {
        if (confirmStop())
            job->stop();
        return;
    }

    JobSettings settings;
    settings.input = inputEdit->text();
    settings.config = cfgEdit->text();
    settings.encoder = encoderEdit->text();
    settings.output = outputEdit->text();
    settings.parallelEncoders = encodersBox->value();
    if (rawFrame.width != 0 && rawFrame.height != 0) {
        rawFrame.lumaPadWidth = 0;
        rawFrame.lumaPadHeight = 0;
        settings.rawWidth = rawFrame.width;
        settings.rawHeight = rawFrame.height;
        settings.rawFps = rawFps;
    }
    showRunning(true);
    linesBeforeCommandLine.clear();
    commandLineShown = false;
    job->start(settings);
}

bool HenQ::confirmStop()
{
    return QMessageBox::question(this, tr("Stop encoding"),
                                 tr("Stop the running encode?\nThe output keeps what the encoder "
                                    "has written so far."),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
           == QMessageBox::Yes;
}

void HenQ::closeEvent(QCloseEvent *event)
{
    if (job->isRunning()) {
        if (!confirmStop()) {
            event->ignore();
            return;
        }
        job->abort();
        showRunning(false);
    }
    event->accept();
}

void HenQ::showRunning(bool running)
{
    encodeButton->setEnabled(true);
    if (running) {
        encodeButton->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
        encodeButton->setToolTip(tr("Stop encoding"));
        progressBar->setRange(0, 0);
        progressBar->show();
        progressLabel->setText(tr("Starting"));
        reportButton->hide();
    } else {
        encodeButton->setIcon(QIcon(QStringLiteral(":/images/go.png")));
        encodeButton->setToolTip(tr("Start encoding"));
    }
}

void HenQ::showCommandLine(const QString &commandLine)
{
    QMessageBox::information(this, QStringLiteral("Cmdline"), commandLine, QMessageBox::Ok);
    droppedLogLines = 0;
    logView->setPlainText(commandLine);
    commandLineShown = true;
    // What the job said while preparing (why the pictures go through a file, the pictures'
    // depth) stays in the log, after the command line.
    const QStringList earlier = linesBeforeCommandLine;
    linesBeforeCommandLine.clear();
    for (const QString &line : earlier)
        appendLogLine(line);
}

void HenQ::showProgress(const JobProgress &progress)
{
    if (progress.counting) {
        // The input's pictures are counted before it is cut into segments: a busy indicator.
        progressBar->setRange(0, 0);
        progressLabel->setText(tr("Counting pictures: %1").arg(progress.counted));
        return;
    }
    if (progress.preparing) {
        showPreparing(progress);
        return;
    }
    QString text;
    if (progress.total > 0) {
        progressBar->setRange(0, 1000);
        progressBar->setValue(static_cast<int>(qMin<qint64>(1000, progress.pictures * 1000 / progress.total)));
        text = tr("%1 / %2").arg(progress.pictures).arg(progress.total);
    } else {
        // Busy indicator while the total is not known.
        progressBar->setRange(0, 0);
        text = tr("%1 pictures").arg(progress.pictures);
    }
    if (progress.picturesPerSecond > 0)
        text += tr(" \u00b7 %1 fps").arg(progress.picturesPerSecond, 0, 'f', 1);
    if (progress.secondsLeft >= 0 && progress.pictures < progress.total)
        text += tr(" \u00b7 %1 left").arg(clockText(progress.secondsLeft));
    progressLabel->setText(text);
}

// The pictures go into a file the encoder reads once it is whole; the encoder has not started.
void HenQ::showPreparing(const JobProgress &progress)
{
    if (progress.preparedTotal > 0) {
        progressBar->setRange(0, 1000);
        progressBar->setValue(int(qMin<qint64>(1000, progress.prepared * 1000 / progress.preparedTotal)));
        progressLabel->setText(tr("Preparing pictures: %1 / %2").arg(progress.prepared).arg(progress.preparedTotal));
    } else {
        progressBar->setRange(0, 0);
        progressLabel->setText(tr("Preparing pictures: %1").arg(progress.prepared));
    }
}

void HenQ::updateLog(const QByteArray &output)
{
    // Latin-1 conversion of a NUL-terminated buffer: the text ends at the first zero byte.
    appendLogText(QString::fromLatin1(output.constData()));
}

void HenQ::appendLogLine(const QString &line)
{
    if (job->isRunning() && !commandLineShown)
        linesBeforeCommandLine << line;
    const QString log = logView->document()->lastBlock().text();
    appendLogText((log.isEmpty() ? QString() : QStringLiteral("\n")) + line + QLatin1Char('\n'));
}

void HenQ::appendLogText(const QString &text)
{
    // Appending keeps the cost of a piece proportional to the new text, however long the log.
    QTextCursor cursor(logView->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    trimLog();
    cursor.movePosition(QTextCursor::End);
    logView->setTextCursor(cursor);
}

void HenQ::trimLog()
{
    QTextDocument *document = logView->document();
    const int lineExcess = document->blockCount() - maxLogLines;
    const int characterExcess = document->characterCount() - maxLogCharacters;
    if (lineExcess <= 0 && characterExcess <= 0)
        return;

    // The first line says how much was left out; the oldest lines after it go.
    const QTextBlock first = droppedLogLines > 0 ? document->firstBlock().next() : document->firstBlock();
    const int start = first.position();
    int cut = start;
    if (lineExcess > 0) {
        const QTextBlock block = document->findBlockByNumber(
            qMin(document->blockCount() - 1, first.blockNumber() + lineExcess + trimLines));
        cut = qMax(cut, block.position());
    }
    if (characterExcess > 0)
        cut = qMax(cut, qMin(document->characterCount() - 1, start + characterExcess + trimCharacters));
    const int removedLines = document->findBlock(cut).blockNumber() - first.blockNumber();

    QTextCursor cursor(document);
    cursor.setPosition(start);
    cursor.setPosition(cut, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();

    const bool hadNote = droppedLogLines > 0;
    droppedLogLines += removedLines;
    const QString note = tr("[%1 earlier lines of the encoder's output are left out]").arg(droppedLogLines);
    cursor.setPosition(0);
    if (hadNote)
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(hadNote ? note : note + QLatin1Char('\n'));
}

// The job's verdict as the window tells it: an encoder that ran to its end is "done" with its
// exit code, whatever became of the output, which a box of its own tells when it is unusable.
void HenQ::jobFinished(const JobResult &result)
{
    showRunning(false);
    offerReport(result);
    const JobVerdict verdict = JobVerdict::of(result);
    if (verdict.encoderRan()) {
        progressLabel->setText(progressLabel->text().section(QStringLiteral(" \u00b7 "), 0, 1));
        QMessageBox::information(this, QStringLiteral("Done"),
                                 tr("Encoding done(%1).").arg(result.exitCode), QMessageBox::Ok);
        // An exit code of 0 is the encoder's word only: say so when there is nothing to show for it.
        if (!result.outputProblem.isEmpty())
            QMessageBox::warning(this, tr("Encoding error"), result.outputProblem, QMessageBox::Ok);
    } else if (verdict.kind == JobVerdict::Stopped) {
        progressLabel->setText(result.segmentsTotal > 0
                                   ? tr("Stopped: %1 of %2 segments kept").arg(result.segmentsKept).arg(result.segmentsTotal)
                                   : tr("Stopped after %1 pictures").arg(result.pictures));
    } else {
        progressBar->hide();
        progressLabel->clear();
        QMessageBox::warning(this,
                             result.failure == JobResult::InputUnusable ? QStringLiteral("No Input")
                                                                        : tr("Encoding error"),
                             result.message, QMessageBox::Ok);
    }
    if (verdict.kind != JobVerdict::Failed && progressBar->maximum() == 0) {
        progressBar->setRange(0, 1);
        progressBar->setValue(verdict.encoderRan() ? 1 : 0);
    }
}
