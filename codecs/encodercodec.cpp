#include "encodercodec.h"

#include "files/filestamp.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

namespace {

const QString hevc = QStringLiteral("HEVC");
const QString vvc = QStringLiteral("VVC");

// How long a program may take to print its help.
constexpr int helpWaitMs = 3000;
// The help's start names the program; the rest lists its switches.
constexpr qint64 helpBytes = 4096;

// A compiled program: its first bytes are an ELF header. Scripts are not run.
bool isCompiled(const QString &program)
{
    QFile file(program);
    return file.open(QIODevice::ReadOnly) && file.read(4) == QByteArray("\x7f" "ELF", 4);
}

QByteArray helpOf(const QString &program)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, {QStringLiteral("--help")}, QIODevice::ReadOnly);
    if (!process.waitForStarted(helpWaitMs))
        return QByteArray();
    if (!process.waitForFinished(helpWaitMs)) {
        process.kill();
        process.waitForFinished(helpWaitMs);
    }
    // The program's own path, which a usage line repeats, names no codec.
    return process.readAll().left(helpBytes).replace(QFile::encodeName(program), QByteArray());
}

} // namespace

namespace EncoderCodec {

QString fromHelp(const QByteArray &help)
{
    // Capitals, as a program names its codec: a folder in the program's path ("vvcwork") says
    // nothing.
    static const QRegularExpression vvcWords(QStringLiteral("\\b(VVC\\w*|VTM|H\\.266)\\b"));
    static const QRegularExpression hevcWords(QStringLiteral("\\b(HM software|HEVC|H\\.265)\\b"));
    const QString text = QString::fromLatin1(help);
    if (vvcWords.match(text).hasMatch())
        return vvc;
    if (hevcWords.match(text).hasMatch())
        return hevc;
    return QString();
}

QString fromName(const QString &program)
{
    const QString name = QFileInfo(program).completeBaseName();
    if (name.compare(QLatin1String("EncoderApp"), Qt::CaseInsensitive) == 0
        || name.contains(QLatin1String("vvc"), Qt::CaseInsensitive)
        || name.contains(QLatin1String("vtm"), Qt::CaseInsensitive))
        return vvc;
    if (name.compare(QLatin1String("TAppEncoder"), Qt::CaseInsensitive) == 0
        || name.contains(QLatin1String("hevc"), Qt::CaseInsensitive)
        || name.contains(QLatin1String("265"), Qt::CaseInsensitive))
        return hevc;
    return QString();
}

QString fromConfig(const QString &config)
{
    QFile file(config);
    if (config.isEmpty() || !file.open(QIODevice::ReadOnly))
        return QString();
    // "Key : value" lines; what follows a '#' is a comment.
    QSet<QString> keys;
    static const QRegularExpression keyLine(QStringLiteral("^\\s*([A-Za-z][A-Za-z0-9_]*)\\s*:"));
    for (const QByteArray &line : file.read(helpBytes * 64).split('\n')) {
        const QRegularExpressionMatch match = keyLine.match(QString::fromLatin1(line));
        if (match.hasMatch())
            keys.insert(match.captured(1));
    }
    // Keys of the coding tools only one of the two reference encoders has.
    static const char *const vvcKeys[] = {"CTUSize", "DualITree", "MaxMTTHierarchyDepth", "ALF", "CCALF",
                                          "LMChroma", "MIP", "LMCSEnable", "DepQuant", "SbTMVP", "Affine", "MTS"};
    static const char *const hevcKeys[] = {"MaxPartitionDepth", "QuadtreeTULog2MaxSize", "QuadtreeTUMaxDepthIntra",
                                           "QuadtreeTUMaxDepthInter", "AMP", "LoopFilterDisable"};
    for (const char *key : vvcKeys)
        if (keys.contains(QLatin1String(key)))
            return vvc;
    for (const char *key : hevcKeys)
        if (keys.contains(QLatin1String(key)))
            return hevc;
    return QString();
}

QString of(const QString &program, const QString &config)
{
    // A program's help is asked once for each version of its file.
    static QHash<QString, QString> told;
    QString codec;
    const QFileInfo info(program);
    if (info.isFile() && info.isExecutable() && isCompiled(program)) {
        const FileStamp stamp = FileStamp::of(program);
        const QString key = QStringLiteral("%1\n%2\n%3").arg(stamp.path).arg(stamp.size).arg(stamp.modifiedMs);
        auto found = told.constFind(key);
        if (found == told.constEnd())
            found = told.insert(key, fromHelp(helpOf(info.absoluteFilePath())));
        codec = *found;
    }
    if (codec.isEmpty())
        codec = fromName(program);
    if (codec.isEmpty())
        codec = fromConfig(config);
    return codec;
}

} // namespace EncoderCodec
