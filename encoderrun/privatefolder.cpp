#include "privatefolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// The folder for temporary files as the environment names it. Qt falls back on the current
// directory when TMPDIR names no folder; the job must not write anywhere else than asked.
QString temporaryFolder()
{
    const QString fromEnvironment = qEnvironmentVariable("TMPDIR");
    return fromEnvironment.isEmpty() ? QDir::tempPath() : fromEnvironment;
}

QString temporaryFolderProblem(const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.exists())
        return QStringLiteral("No such folder");
    if (!info.isDir())
        return QStringLiteral("It is not a folder");
    if (!info.isWritable())
        return QStringLiteral("Permission denied");
    return QString();
}

// Ends the wait of a reader still in its open of a picture pipe whose writer was killed before
// it opened its end (an encoder's helper the kill did not reach): a writer that opens and
// closes again gives it the end of its input, and it ends instead of waiting for ever.
void releaseWaitingReaders(const QDir &folder)
{
    const QStringList entries = folder.entryList(QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        const QByteArray path = QFile::encodeName(folder.filePath(entry));
        struct stat info;
        if (::lstat(path.constData(), &info) != 0 || !S_ISFIFO(info.st_mode))
            continue;
        // Without a reader the open fails at once (ENXIO); it never blocks.
        const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
    }
}

} // namespace

PrivateFolder::PrivateFolder() = default;

PrivateFolder::~PrivateFolder() = default;

bool PrivateFolder::make(QString *problem)
{
    const QString folder = temporaryFolder();
    QString why = dir ? QString() : temporaryFolderProblem(folder);
    if (why.isEmpty() && !dir) {
        // The process number in the name tells a folder whose process has gone.
        dir = std::make_unique<QTemporaryDir>(
            folder + QStringLiteral("/morlunex-%1-XXXXXX").arg(QCoreApplication::applicationPid()));
        if (!dir->isValid())
            why = dir->errorString();
    }
    if (why.isEmpty())
        return true;
    dir.reset();
    *problem = QStringLiteral("Cannot use the temporary folder %1:\n%2.\nNothing was written; set "
                              "TMPDIR to a folder that exists and can be written to.")
                   .arg(QDir::toNativeSeparators(folder), why);
    return false;
}

QString PrivateFolder::path() const
{
    return dir ? QFileInfo(dir->path()).absoluteFilePath() : QString();
}

void PrivateFolder::remove()
{
    dir.reset();
}

void PrivateFolder::sweepAbandoned()
{
    static const QRegularExpression name(QStringLiteral("^morlunex-([0-9]+)-[A-Za-z0-9]{6}$"));
    const QDir temporary(temporaryFolder());
    // A link by such a name (anyone may make one in a shared temporary folder) is never
    // followed: what it leads to is not ours.
    const QStringList folders = temporary.entryList({QStringLiteral("morlunex-*")},
                                                    QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &entry : folders) {
        const QRegularExpressionMatch match = name.match(entry);
        if (!match.hasMatch())
            continue;
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        if (pid <= 0 || ::kill(pid, 0) == 0 || errno == EPERM)
            continue;
        QDir abandoned(temporary.filePath(entry));
        releaseWaitingReaders(abandoned);
        // The frame file, and whatever the encoder wrote beside it, in folders of its own too
        // (a ReconFile's link among them); links are removed, never followed.
        abandoned.removeRecursively();
    }
}
