#include "testsupport.h"

#include "bitstream/seiwriter.h"
#include "hevc/hevccodec.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QCoreApplication>
#include <QSettings>
#include <QWidget>

#include <csignal>

namespace {

// The suites run jobs in their own process, as the programs do: an encoder that exits makes
// the next write into its pipe fail with EPIPE, and the signal that comes with it must not end
// the suite (the programs' main() ignores it the same way).
void ignoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(ignoreBrokenPipes)

namespace TestSupport {

IsolatedEnvironment::IsolatedEnvironment(const QString &tempName)
    : savedTmpDir(qgetenv("TMPDIR"))
    , savedConfigHome(qgetenv("XDG_CONFIG_HOME"))
    , tempFolderName(tempName)
{
    QDir dir(root.path());
    dir.mkpath(tempName);
    dir.mkpath(QStringLiteral("config"));
    qputenv("TMPDIR", QFile::encodeName(tempPath()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configPath()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configPath());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configPath());
}

IsolatedEnvironment::~IsolatedEnvironment()
{
    if (savedTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmpDir);
    if (savedConfigHome.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", savedConfigHome);
}

QString IsolatedEnvironment::tempPath() const
{
    return root.filePath(tempFolderName);
}

QString IsolatedEnvironment::configPath() const
{
    return root.filePath(QStringLiteral("config"));
}

RunResult run(const QString &program, const QStringList &arguments, int timeoutMs,
              const QString &workingDirectory, const QProcessEnvironment &environment)
{
    RunResult result;
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return result;
    process.closeWriteChannel();
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

bool ffmpeg(const QStringList &arguments, int timeoutMs)
{
    const RunResult result = run(QStringLiteral("ffmpeg"),
                                 QStringList{"-nostdin", "-hide_banner", "-loglevel", "error", "-y"}
                                     + arguments,
                                 timeoutMs);
    if (!result.finished || result.exitCode != 0)
        qWarning("ffmpeg %s failed: %s", qPrintable(arguments.join(' ')), result.err.constData());
    return result.finished && result.exitCode == 0;
}

ProbeResult probeVideo(const QString &path)
{
    ProbeResult probe;
    const RunResult result = run(QStringLiteral("ffprobe"),
                                 {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                  "-show_entries", "stream=codec_name,width,height,nb_read_frames",
                                  "-of", "json", path});
    if (!result.finished || result.exitCode != 0)
        return probe;
    const QJsonArray streams = QJsonDocument::fromJson(result.out).object().value("streams").toArray();
    if (streams.isEmpty())
        return probe;
    const QJsonObject stream = streams.first().toObject();
    probe.frames = stream.value("nb_read_frames").toString().toInt();
    probe.width = stream.value("width").toInt(-1);
    probe.height = stream.value("height").toInt(-1);
    probe.codec = stream.value("codec_name").toString();
    return probe;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool writeScript(const QString &path, const QByteArray &text)
{
    return writeFile(path, text)
           && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

double lumaPsnr(const QString &bitstream, const QString &source, int width, int height)
{
    QStringList sourceInput = {"-i", source};
    if (source.startsWith(QLatin1String("rawvideo:")))
        sourceInput = {"-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", source.section(':', 1, 1), "-i",
                       source.section(':', 2)};
    const QString graph = QStringLiteral("[0:v]crop=%1:%2:0:0[a];[1:v]format=yuv420p,crop=%1:%2:0:0[b];[a][b]psnr")
                              .arg(width & ~1)
                              .arg(height & ~1);
    const RunResult psnr = run(QStringLiteral("ffmpeg"),
                               QStringList{"-nostdin", "-hide_banner", "-i", bitstream} + sourceInput
                                   + QStringList{"-lavfi", graph, "-f", "null", "-"});
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("PSNR y:([0-9.]+|inf)")).match(QString::fromUtf8(psnr.err));
    if (!match.hasMatch()) {
        qWarning("%s", psnr.err.constData());
        return -1;
    }
    return match.captured(1) == QLatin1String("inf") ? 100.0 : match.captured(1).toDouble();
}

QString referenceTool(const QString &name)
{
    const QString folder = qEnvironmentVariableIsSet("MORLUNEX_REFERENCE_BIN")
                               ? qEnvironmentVariable("MORLUNEX_REFERENCE_BIN")
                               : QStringLiteral(MORLUNEX_TESTDATA_DIR "/reference-encoder/bin");
    const QFileInfo program(QDir(folder).filePath(name));
    return program.isFile() && program.isExecutable() ? program.absoluteFilePath() : QString();
}

HashCheck referenceHashCheck(const QString &bitstream)
{
    HashCheck check;
    const QString decoder = referenceTool(QStringLiteral("TAppDecoder"));
    if (decoder.isEmpty())
        return check;
    const RunResult result = run(decoder, {"-b", bitstream, "-o", "/dev/null"}, 300000);
    const QString out = QString::fromUtf8(result.out);
    check.pictures = int(out.count(QRegularExpression(QStringLiteral("^POC "), QRegularExpression::MultilineOption)));
    check.matched = int(out.count(QStringLiteral("(OK)")));
    check.mismatched = int(out.count(QStringLiteral("***ERROR***")));
    const QStringList lines = out.trimmed().split(QLatin1Char('\n'));
    check.tail = lines.mid(qMax(0, int(lines.size()) - 4)).join(QLatin1Char('\n'));
    if (!result.finished || result.exitCode != 0)
        check.tail += QStringLiteral("\n(decoder exit %1) %2").arg(result.exitCode).arg(QString::fromUtf8(result.err.right(400)));
    return check;
}

QStringList everythingIn(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << it.next().mid(folder.size() + 1);
    entries.sort();
    return entries;
}

bool writeTinyStream(const QString &path)
{
    static QByteArray stream;
    if (stream.isEmpty()) {
        QTemporaryDir folder;
        const QString made = folder.filePath(QStringLiteral("tiny.265"));
        if (!ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=16x16:rate=25", "-frames:v", "2", "-pix_fmt", "yuv420p",
                     "-c:v", "libx265", "-x265-params", "log-level=error", "-f", "hevc", made}))
            return false;
        stream = readFile(made);
    }
    return !stream.isEmpty() && writeFile(path, stream);
}

bool processAlive(qint64 pid)
{
    const QByteArray status = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = status.lastIndexOf(')');
    return close > 0 && status.size() > close + 2 && status.at(close + 2) != 'Z';
}

QList<qint64> processesMentioning(const QString &text)
{
    QList<qint64> found;
    const QByteArray needle = QFile::encodeName(text);
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number && pid != QCoreApplication::applicationPid()
            && readFile("/proc/" + entry + "/cmdline").contains(needle) && processAlive(pid))
            found << pid;
    }
    return found;
}

QSettings settingsStore()
{
    return QSettings(QStringLiteral("Tarvolen Inc."), QStringLiteral("Morlunex Transcoder 0.980"));
}

QByteArray padFrames(const QByteArray &raw, int width, int height, int dx, int dy, int sampleBytes,
                     bool chroma)
{
    const int paddedW = (width + 15) / 16 * 16, paddedH = (height + 15) / 16 * 16;
    const int toolCw = (width + dx - 1) / dx, toolCh = (height + dy - 1) / dy;
    const int toolFrame = (width * height + 2 * toolCw * toolCh) * sampleBytes;
    QByteArray out;
    for (int offset = 0; offset + toolFrame <= raw.size(); offset += toolFrame) {
        const char *plane = raw.constData() + offset;
        for (int index = 0; index < (chroma ? 3 : 1); ++index) {
            const bool luma = index == 0;
            const int w = (luma ? width : width / dx) * sampleBytes, h = luma ? height : height / dy;
            const int stride = (luma ? width : toolCw) * sampleBytes, rows = luma ? height : toolCh;
            const int outW = (luma ? paddedW : paddedW / dx) * sampleBytes, outH = luma ? paddedH : paddedH / dy;
            for (int row = 0; row < outH; ++row) {
                QByteArray line(outW, '\0');
                if (row < h)
                    line.replace(0, w, QByteArray(plane + row * stride, w));
                out += line;
            }
            plane += stride * rows;
        }
    }
    return out;
}

QStringList firstFrame(const QString &path)
{
    const RunResult result = run(QStringLiteral("ffprobe"),
                                 {"-v", "error", "-select_streams", "v:0", "-read_intervals", "%+#1",
                                  "-show_frames", "-of", "flat=s=.:h=0", path});
    QStringList lines;   // "frame.0.side_data.0.red_x="34000/50000"" -> "red_x=34000/50000"
    for (const QString &line : QString::fromUtf8(result.out).split('\n', Qt::SkipEmptyParts))
        lines << line.section('=', 0, 0).section('.', -1) + '=' + line.section('=', 1).remove('"');
    return lines;
}

HdrSeiCount countHdrSei(const QByteArray &stream)
{
    HdrSeiCount count;
    QList<int> pending;   // types of the prefix SEI messages since the last slice
    const QByteArray startCode("\0\0\1", 3);
    for (qsizetype at = stream.indexOf(startCode); at >= 0 && at + 5 <= stream.size();) {
        const qsizetype next = stream.indexOf(startCode, at + 3);
        const QByteArray nal = stream.mid(at + 3, (next < 0 ? stream.size() : next) - at - 3);
        const Codec &hevc = HevcCodec::instance();
        const int type = hevc.header(nal.constData()).type;
        if (hevc.kind(type) == Codec::Kind::PrefixSei) {
            pending += SeiWriter::payloadTypes(nal.constData(), nal.size());
        } else if (hevc.kind(type) == Codec::Kind::Slice) {
            if (hevc.startsPicture(nal.constData(), nal.size()).value_or(false) && hevc.isIrap(type)) {
                ++count.irapPictures;
                count.masteringDisplay += int(pending.count(137));
                count.lightLevel += int(pending.count(144));
            }
            pending.clear();
        }
        at = next;
    }
    return count;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
}

QString binDir()
{
    return QStringLiteral(MORLUNEX_BIN_DIR);
}

QString buildDir()
{
    return QStringLiteral(MORLUNEX_BUILD_DIR);
}

QString saveScreenshot(QWidget *widget, const QString &name)
{
    QDir dir(buildDir());
    dir.mkpath(QStringLiteral("screenshots"));
    const QString path = dir.filePath(QStringLiteral("screenshots/") + name + QStringLiteral(".png"));
    widget->grab().save(path);
    return path;
}

} // namespace TestSupport
