#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QWidget>

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
              const QString &workingDirectory)
{
    RunResult result;
    QProcess process;
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
