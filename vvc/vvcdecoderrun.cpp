#include "vvcdecoderrun.h"

#include "files/pathtext.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

// The decoder reads a few hundred pictures a second at small sizes and some ten at large ones:
// a minute, and a second more for every 20 kB of stream, leaves room for a loaded machine
// without waiting on a decoder that hangs.
qint64 waitFor(qint64 bytes)
{
    return 60000 + bytes / 20;
}

constexpr int kPoll = 100;

void readLines(const QByteArray &output, VvcDecoderRun::Result *result)
{
    static const QRegularExpression picture(QStringLiteral("^POC\\s+-?\\d+ "));
    const QList<QByteArray> lines = output.split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromLocal8Bit(raw).trimmed();
        if (picture.match(line).hasMatch()) {
            if (line.contains(QLatin1String("(***ERROR***)")) && result->firstBadHash < 0) {
                result->firstBadHash = result->pictures;
                result->firstBadLine = line;
            } else if (line.contains(QLatin1String(",(OK)]"))) {
                ++result->hashesChecked;
            }
            ++result->pictures;
        } else if (line.startsWith(QLatin1String("ERROR")) && result->error.isEmpty()) {
            result->error = line;
        }
    }
}

} // namespace

VvcDecoderRun::Result VvcDecoderRun::run(const QString &decoder, const QString &path, bool recon,
                                         const std::atomic_bool *stop)
{
    Result result;
    if (decoder.isEmpty()) {
        result.error = QStringLiteral("no VVC decoder program was found (DecoderApp beside the encoder, or the "
                                      "decoder the configuration names)");
        return result;
    }
    QTemporaryDir folder(QDir::temp().filePath(QStringLiteral("morlunex-vvcdecode-XXXXXX")));
    if (!folder.isValid()) {
        result.error = QStringLiteral("no temporary folder: %1").arg(folder.errorString());
        return result;
    }
    const QString logPath = folder.filePath(QStringLiteral("decoder.log"));
    const QString reconPath = recon ? folder.filePath(QStringLiteral("decoded.yuv")) : QStringLiteral("/dev/null");
    const qint64 wait = waitFor(QFileInfo(path).size());
    QProcess process;
    process.setWorkingDirectory(folder.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(logPath);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(decoder, {QStringLiteral("-b"), PathText::absolute(path), QStringLiteral("-o"), reconPath});
    if (!process.waitForStarted(30000)) {
        result.error = QStringLiteral("the decoder %1 did not start: %2")
                           .arg(PathText::native(decoder), process.errorString());
        return result;
    }
    const QDeadlineTimer deadline(wait);
    while (!process.waitForFinished(kPoll)) {
        if ((stop && *stop) || deadline.hasExpired()) {
            result.stopped = stop && *stop;
            process.kill();
            process.waitForFinished(5000);
            if (!result.stopped)
                result.error = QStringLiteral("the decoder %1 did not end within %2 s")
                                   .arg(PathText::native(decoder)).arg(wait / 1000);
            return result;
        }
    }
    QFile log(logPath);
    if (log.open(QIODevice::ReadOnly))
        readLines(log.readAll(), &result);
    result.ran = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    if (!result.ran && result.error.isEmpty())
        result.error = QStringLiteral("the decoder %1 crashed").arg(PathText::native(decoder));
    if (recon && result.ran && result.exitCode == 0) {
        QFile samples(reconPath);
        QCryptographicHash md5(QCryptographicHash::Md5);
        if (samples.open(QIODevice::ReadOnly) && md5.addData(&samples))
            result.reconDigest = md5.result();
    }
    return result;
}

VvcDecoderRun::Result VvcDecoderRun::runOn(const QString &decoder, const QByteArray &stream, bool recon)
{
    QTemporaryDir folder(QDir::temp().filePath(QStringLiteral("morlunex-vvcunit-XXXXXX")));
    QFile file(folder.filePath(QStringLiteral("unit.266")));
    if (!folder.isValid() || !file.open(QIODevice::WriteOnly) || file.write(stream) != stream.size()
        || !file.flush()) {
        Result result;
        result.error = QStringLiteral("the access unit could not be written to a temporary file: %1")
                           .arg(folder.isValid() ? file.errorString() : folder.errorString());
        return result;
    }
    file.close();
    return run(decoder, file.fileName(), recon);
}
