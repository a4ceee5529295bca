// Drives the transcoder window headless for the benchmarks.
//
//   job_bench job CLIP ENCODER CONFIG OUTPUT
//       presses the encode button with these fields, answers every box with its default
//       button and prints "job_seconds S": from the press to the "Done" box; "ui_max_stall_ms"
//       (the longest gap between two ticks of a 10 ms timer on the window's thread) and
//       "job_temp_peak_mb" (the largest disk use of the temporary directory, polled).
//   job_bench log LINES
//       runs a child that prints LINES encoder-style lines through the window's log pane
//       and prints "log_seconds_per_line S" (wall time of the whole run over LINES).

#include "window/henq.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <thread>
#include <atomic>

namespace {

class BenchWindow : public HenQ
{
public:
    BenchWindow() : HenQ(nullptr) {}
    using HenQ::cfgEdit;
    using HenQ::encodeButton;
    using HenQ::encoderEdit;
    using HenQ::logView;
    using HenQ::outputEdit;
};

// Presses the default button of every message box; reports the "Done" box.
void answerBoxes(QObject *owner, std::function<void(const QString &)> onDone)
{
    auto *timer = new QTimer(owner);
    QObject::connect(timer, &QTimer::timeout, owner, [onDone] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        const QString title = box->windowTitle();
        const QString text = box->text();
        QAbstractButton *button = box->defaultButton();
        if (!button)
            button = box->buttons().value(0);
        if (button)
            button->click();
        if (title == QLatin1String("Done"))
            onDone(text);
    });
    timer->start(5);
}

int runJob(const QStringList &args)
{
    BenchWindow window;
    window.show();
    QString clip = args.at(0);
    window.fileOpen(clip);
    window.encoderEdit->setText(args.at(1));
    window.cfgEdit->setText(args.at(2));
    window.outputEdit->setText(args.at(3));

    // The window's thread must keep ticking while the job runs.
    QElapsedTimer tick;
    qint64 maxStall = 0;
    qint64 maxStallAtMs = 0;  // when the longest gap ended, from the press
    QElapsedTimer clock;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (tick.isValid() && tick.elapsed() > maxStall) {
            maxStall = tick.elapsed();
            maxStallAtMs = clock.isValid() ? clock.elapsed() : -1;
        }
        tick.restart();
    });
    ticker.start(10);

    // Disk use of everything below the temporary directory, polled on a thread of its own.
    std::atomic_bool polling{true};
    std::atomic<qint64> peakBytes{0};
    std::thread poller([&] {
        const QString temp = QDir::tempPath();
        while (polling) {
            qint64 bytes = 0;
            QDirIterator it(temp, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                struct stat info;
                if (::stat(QFile::encodeName(it.next()).constData(), &info) == 0)
                    bytes += qint64(info.st_blocks) * 512;
            }
            peakBytes = qMax<qint64>(peakBytes, bytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    int status = 1;
    answerBoxes(&window, [&](const QString &text) {
        std::printf("job_seconds %.3f\n", clock.elapsed() / 1000.0);
        std::printf("ui_max_stall_ms %lld\n", static_cast<long long>(maxStall));
        std::fprintf(stderr, "longest stall ended %lld ms after the press\n", static_cast<long long>(maxStallAtMs));
        std::fprintf(stderr, "%s\n", qPrintable(text));
        status = text == QLatin1String("Encoding done(0).") ? 0 : 1;
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    });
    QTimer::singleShot(0, &window, [&] {
        clock.start();
        window.encodeButton->click();
    });
    QTimer::singleShot(3600 * 1000, qApp, &QCoreApplication::quit);
    QApplication::exec();
    polling = false;
    poller.join();
    std::printf("job_temp_peak_mb %.1f\n", peakBytes / 1048576.0);
    return status;
}

int runLog(int lines)
{
    BenchWindow window;
    window.show();
    QProcess process;
    qint64 arrived = 0;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &window, [&] {
        const QByteArray output = process.readAllStandardOutput();
        arrived += output.count('\n');
        window.updateLog(output);
    });
    QObject::connect(&process, &QProcess::finished, qApp, &QCoreApplication::quit);

    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral("awk"),
                  {QStringLiteral("BEGIN { for (i = 0; i < %1; i++) printf \"POC %4d TId: 0 "
                                  "( B-SLICE, nQP 32 QP 32 )      12345 bits [Y 36.1234 dB    "
                                  "U 38.1234 dB    V 38.4321 dB]\\n\", i; }").arg(lines)});
    QApplication::exec();
    const double seconds = clock.elapsed() / 1000.0;
    if (arrived < lines) {
        std::fprintf(stderr, "only %lld lines arrived\n", static_cast<long long>(arrived));
        return 1;
    }
    std::printf("log_seconds_per_line %.9f\n", seconds / lines);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // As the programs do: an encoder that exits must not end this one through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() == 5 && args.at(0) == QLatin1String("job"))
        return runJob(args.mid(1));
    if (args.size() == 2 && args.at(0) == QLatin1String("log"))
        return runLog(args.at(1).toInt());
    std::fprintf(stderr, "usage: job_bench job CLIP ENCODER CONFIG OUTPUT | job_bench log LINES\n");
    return 2;
}
