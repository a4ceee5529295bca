#include "decoderrun.h"

#include "process/childcpu.h"

#include <QTimer>

#include <csignal>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

constexpr int killDelayMs = 2000;
constexpr int keptLines = 12;

} // namespace

DecoderRun::DecoderRun(const QString &decoder, const QString &bitstream, const QString &logPath, QObject *parent)
    : QObject(parent)
    , decoder(decoder)
    , bitstream(bitstream)
    , logFile(logPath)
{
    qRegisterMetaType<DecoderOutcome>();
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
#ifdef Q_OS_LINUX
    // No decoder outlives the program, even one killed outright.
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    connect(&process, &QProcess::readyReadStandardOutput, this, [this] { readOutput(false); });
    connect(&process, &QProcess::finished, this, &DecoderRun::onFinished);
    connect(&process, &QProcess::errorOccurred, this, &DecoderRun::onError);
}

DecoderRun::~DecoderRun()
{
    abort();
}

void DecoderRun::start()
{
    logFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    const QStringList arguments{QStringLiteral("-b"), bitstream, QStringLiteral("-o"), QProcess::nullDevice()};
    logFile.write(QStringLiteral("\"%1\" %2\n").arg(decoder, arguments.join(QLatin1Char(' '))).toUtf8());
    process.start(decoder, arguments);
}

void DecoderRun::stop()
{
    if (done || process.state() == QProcess::NotRunning)
        return;
    stopping = true;
    process.terminate();
    if (!killTimer) {
        killTimer = new QTimer(this);
        killTimer->setSingleShot(true);
        connect(killTimer, &QTimer::timeout, &process, &QProcess::kill);
    }
    killTimer->start(killDelayMs);
}

void DecoderRun::abort()
{
    done = true;
    if (process.state() == QProcess::NotRunning)
        return;
    process.disconnect(this);
    process.kill();
    process.waitForFinished(5000);
    // Its time is nobody's: taken so that it is not counted as an encoder's.
    ChildCpu::sinceLastTake();
}

void DecoderRun::readOutput(bool last)
{
    partial += process.readAll();
    qsizetype from = 0;
    for (qsizetype end = partial.indexOf('\n'); end >= 0; end = partial.indexOf('\n', from)) {
        countLine(partial.mid(from, end - from));
        from = end + 1;
    }
    // Whole lines only: others' lines may go into the same log.
    logFile.write(partial.left(from));
    partial.remove(0, from);
    if (last && !partial.isEmpty()) {
        countLine(partial);
        logFile.write(partial + '\n');
        partial.clear();
    }
}

void DecoderRun::countLine(const QByteArray &line)
{
    const QByteArray trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return;
    if (trimmed.startsWith("POC "))
        ++result.pictures;
    result.matched += trimmed.count("(OK)");
    result.mismatched += trimmed.count("***ERROR***");
    result.lastLines << QString::fromUtf8(trimmed);
    if (result.lastLines.size() > keptLines)
        result.lastLines.removeFirst();
}

void DecoderRun::onFinished(int exitCode, QProcess::ExitStatus status)
{
    // Taken at once, before any other child of this process can end: the decoder's own.
    result.cpuSeconds = ChildCpu::sinceLastTake();
    if (done)
        return;
    done = true;
    if (killTimer)
        killTimer->stop();
    readOutput(true);
    logFile.close();
    result.ran = !stopping;
    result.exitCode = status == QProcess::CrashExit ? 128 + exitCode : exitCode;
    if (stopping)
        result.problem = QStringLiteral("the decoder was stopped");
    else if (status == QProcess::CrashExit)
        result.problem = QStringLiteral("the decoder was ended by signal %1").arg(exitCode);
    else if (exitCode != 0)
        result.problem = QStringLiteral("the decoder exited with code %1").arg(exitCode);
    emit finished(result);
}

void DecoderRun::onError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart || done)
        return;
    done = true;
    logFile.close();
    result.problem = QStringLiteral("the decoder %1 cannot be started: %2").arg(decoder, process.errorString());
    emit finished(result);
}
