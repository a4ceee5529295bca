#include "henq.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextCursor>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

// The encode job: decode the input into a temporary frame file (or hand a raw file over as
// it is), run the encoder on it as a child process, mirror its output and report its end.

namespace {

// Cuts the file back to `size` bytes so that a reader never sees a torn picture.
bool truncateFile(FILE *file, int64_t size)
{
    std::fflush(file);
#ifdef Q_OS_WIN
    return _chsize_s(_fileno(file), size) == 0;
#else
    return ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
#endif
}

int paddedWidth(const FrameInfo &frame)
{
    return frame.width + frame.lumaPadWidth;
}

int paddedHeight(const FrameInfo &frame)
{
    return frame.height + frame.lumaPadHeight;
}

} // namespace

void HenQ::onEncode()
{
    FILE *frameFile = nullptr;
    QString framePath;

    if (rawFrame.width != 0 && rawFrame.height != 0) {
        rawFrame.lumaPadWidth = 0;
        rawFrame.lumaPadHeight = 0;
        launchEncoder(inputEdit->text(), rawFrame);
        encoderInputIsTemporary = false;
        encoderStarted();
    } else {
        VideoDecoder *decoder = decoderCreate();
        decoderOpen(decoder, QFile::encodeName(inputEdit->text()).constData());
        if (!decoderIsOpen(decoder)) {
            QMessageBox::warning(this, QStringLiteral("No Input"),
                                 QStringLiteral("Please open an input file first."), QMessageBox::Ok);
            decoderDestroy(&decoder);
            return;
        }

        FrameInfo frame = {};
        FrameInfo geometry = {};
        int frameCount = 0;
        int64_t bytesWritten = 0;
        bool stopped = false;
        while (decoderNextFrame(decoder, &frame) >= 0) {
            if (!frameFile) {
                QDir temp = QDir::temp();
                temp.makeAbsolute();
                framePath = temp.path()
                            + tr("/mlxtmp_%1x%2.420").arg(paddedWidth(frame)).arg(paddedHeight(frame));
                frameFile = std::fopen(QFile::encodeName(framePath).constData(), "wb");
                if (!frameFile)
                    break;
                geometry = frame;
                std::memset(geometry.planes, 0, sizeof geometry.planes);
            }

            // The file and the command line describe one picture size; pictures of another
            // size would be read as garbage, so the input ends where its size changes.
            if (paddedWidth(frame) != paddedWidth(geometry) || paddedHeight(frame) != paddedHeight(geometry)) {
                QMessageBox::warning(this, tr("Encoding error"),
                                     tr("The picture size of %1 changes from %2x%3 to %4x%5 after "
                                        "%6 pictures.\nOnly the pictures before the change are encoded.")
                                         .arg(QDir::toNativeSeparators(inputEdit->text()),
                                              QString::number(geometry.width),
                                              QString::number(geometry.height),
                                              QString::number(frame.width),
                                              QString::number(frame.height),
                                              QString::number(frameCount)));
                break;
            }

            errno = 0;
            const int64_t written = writeFrame(&frame, frameFile);
            std::fflush(frameFile);
            if (written != frameByteSize(&frame)) {
                const QString reason = QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
                truncateFile(frameFile, bytesWritten);
                QMessageBox::warning(this, tr("Encoding error"),
                                     tr("Cannot write the decoded pictures to %1:\n%2.\n"
                                        "Decoding stopped after %3 pictures.")
                                         .arg(QDir::toNativeSeparators(framePath), reason,
                                              QString::number(frameCount)));
                stopped = true;
                break;
            }
            bytesWritten += written;

            ++frameCount;
            if (frameCount > 5 && !encoderProcess) {
                launchEncoder(framePath, frame);
                encoderInputIsTemporary = true;
                // A missing encoder must not cost a whole decode into a file nobody reads.
                if (!encoderStarted()) {
                    stopped = true;
                    break;
                }
            }
        }
        std::fputs("Error decoding video\n", stderr);
        decoderDestroy(&decoder);

        // Inputs of up to five pictures end before the launch inside the loop.
        if (!stopped && frameCount > 0 && !encoderProcess) {
            launchEncoder(framePath, geometry);
            encoderInputIsTemporary = true;
            stopped = !encoderStarted();
        }
        // Nobody will read the frame file when no encoder runs on it.
        if (frameFile && !encoderProcess) {
            std::fclose(frameFile);
            frameFile = nullptr;
            QFile::remove(framePath);
        }
    }

    if (encoderProcess)
        encodeButton->setEnabled(false);
    if (frameFile)
        std::fclose(frameFile);
}

bool HenQ::encoderStarted()
{
    if (encoderProcess->waitForStarted(30000))
        return true;

    QMessageBox::warning(this, tr("Encoding error"), tr("Error# %1").arg(int(encoderProcess->error())),
                         QMessageBox::Ok);
    // A process that never started emits no finished signal: discard it here so that the
    // next press of the encode button starts afresh.
    encoderProcess->deleteLater();
    encoderProcess = nullptr;
    return false;
}

void HenQ::launchEncoder(const QString &encoderInput, const FrameInfo &geometry)
{
    const QString encoder = QFileInfo(encoderEdit->text()).absoluteFilePath();
    const QString config = QFileInfo(cfgEdit->text()).absoluteFilePath();
    const QString output = QFileInfo(outputEdit->text()).absoluteFilePath();
    // One arg() call, so that a '%' inside a path is never taken for a placeholder.
    const QString commandLine =
        QStringLiteral("\"%1\" -c \"%2\" -i \"%3\" -b \"%4\" -wdt %5 -hgt %6")
            .arg(encoder, config, encoderInput, output,
                 QString::number(paddedWidth(geometry)), QString::number(paddedHeight(geometry)));

    encoderProcess = new QProcess(this);
    // The encoder's diagnostics go to our own standard error instead of piling up unread.
    encoderProcess->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(encoderProcess, SIGNAL(readyReadStandardOutput()), this, SLOT(updateLog()));
    connect(encoderProcess, SIGNAL(finished(int,QProcess::ExitStatus)),
            this, SLOT(encoderDone(int,QProcess::ExitStatus)));

    QMessageBox::information(this, QStringLiteral("Cmdline"), commandLine, QMessageBox::Ok);
    logView->setPlainText(commandLine);

    encoderProcess->startCommand(commandLine, QIODevice::ReadWrite);
    encoderInputPath = encoderInput;
}

void HenQ::updateLog()
{
    if (!encoderProcess)
        return;
    const QByteArray output = encoderProcess->readAllStandardOutput();
    // Latin-1 conversion of a NUL-terminated buffer: the text ends at the first zero byte.
    const QString text = QString::fromLatin1(output.constData());

    // Appending keeps the cost of a read proportional to the new text, however long the log.
    QTextCursor cursor(logView->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    logView->setTextCursor(cursor);
}

void HenQ::encoderDone(int exitCode, QProcess::ExitStatus)
{
    if (encoderProcess) {
        if (encoderProcess->bytesAvailable() > 0)
            updateLog();
        encoderProcess->deleteLater();
        encoderProcess = nullptr;
    }
    if (encoderInputIsTemporary)
        QFile::remove(encoderInputPath);
    encodeButton->setEnabled(true);
    QMessageBox::information(this, QStringLiteral("Done"), tr("Encoding done(%1).").arg(exitCode),
                             QMessageBox::Ok);
}
