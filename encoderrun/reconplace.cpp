#include "reconplace.h"

#include "files/pathtext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using PathText::native;

namespace {

// What a withheld run's copy of the configuration names instead, in the folder its encoder runs
// in. A ReconFile with an empty value does not serve: the reference encoders keep the earlier
// value for a key whose value is empty.
const char withheldName[] = "reconstruction-not-kept.yuv";

// A link to /dev/null at path, unless something is there already.
void linkToNothing(const QString &path)
{
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        QFile::link(QStringLiteral("/dev/null"), path);
}

} // namespace

ReconPlace::ReconPlace(const QString &name)
    : recon(name.trimmed())
{
    if (!recon.isEmpty())
        state = QDir::isAbsolutePath(recon) ? Written : Discarded;
}

ReconPlace::~ReconPlace()
{
    release();
}

QString ReconPlace::prepare(const QString &privateFolder, bool segment)
{
    if (prepared)
        return runFolder;
    prepared = true;
    segmentRun = segment;
    runFolder = privateFolder;
    if (state == Discarded)
        discardInto(privateFolder);
    else if (state == Written && segment)
        state = Withheld;
    else if (state == Written)
        claim();
    if (state == Withheld)
        linkToNothing(runFolder + QLatin1Char('/') + QLatin1String(withheldName));
    return runFolder;
}

// The name leads to /dev/null from the folder the encoder runs in. A name that climbs out of
// its folder ("../rec.yuv") has the encoder run as many folders deeper, so that it still lands
// inside the private folder.
void ReconPlace::discardInto(const QString &folder)
{
    const QString name = QDir::cleanPath(recon);
    int depth = 0;
    while (name.mid(3 * depth).startsWith(QLatin1String("../")))
        ++depth;
    for (int i = 0; i < depth; ++i)
        runFolder += QStringLiteral("/run");
    const QString target = QDir::cleanPath(runFolder + QLatin1Char('/') + name);
    // "." or a name that ends in a folder: the encoder refuses it wherever it runs.
    if (!target.startsWith(folder + QLatin1Char('/')) || !QDir().mkpath(QFileInfo(target).absolutePath()))
        return;
    // Where the link cannot be made, the encoder writes a real file there, which still goes
    // with the folder.
    linkToNothing(target);
}

// A regular file at the name, made where there is none, locked for as long as this run's
// encoder may write it. A file another run holds is withheld from this one. Where no lock can
// be had (no such folder, no right to make the file, a pipe or a device at the name) the
// encoder is left to write it, or to say why it cannot, as it would by hand.
void ReconPlace::claim()
{
    const QByteArray path = QFile::encodeName(recon);
    int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    madeFile = fd >= 0;
    if (fd < 0 && errno == EEXIST)
        fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        claimFd = fd;
        return;
    }
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    if (held)
        state = Withheld;
}

QByteArray ReconPlace::configLines() const
{
    if (state != Withheld)
        return QByteArray();
    return QByteArray("\n# No reconstruction from this run (a link to /dev/null), added by the transcoder\n"
                      "ReconFile : ") + withheldName + '\n';
}

QString ReconPlace::withoutFileLine(const QString &outputFolder) const
{
    const QString kept = native(QDir::cleanPath(outputFolder + QLatin1Char('/') + QFileInfo(recon).fileName()));
    switch (state) {
    case Discarded:
        return QStringLiteral("The configuration's ReconFile %1 is a relative name: the encoder runs in a temporary "
                              "folder of its own, where that name leads to /dev/null, so the reconstructed pictures "
                              "take no room and are discarded, with whatever else it writes there besides its "
                              "bitstream. To keep them, give ReconFile an absolute path, e.g. \"ReconFile : %2\"%3.")
            .arg(recon, kept,
                 segmentRun ? QStringLiteral(", and encode in one piece (one encoder, no segment length)") : QString());
    case Withheld:
        if (segmentRun)
            return QStringLiteral("The configuration's ReconFile %1 is not written by a job in segments: each "
                                  "segment's encoder would write its own pictures over the others'. The segments' "
                                  "encoders get a copy of the configuration whose ReconFile leads to /dev/null; "
                                  "encode in one piece (one encoder, no segment length) to have the "
                                  "reconstruction.")
                .arg(native(recon));
        return QStringLiteral("The configuration's ReconFile %1 is being written by another job's encoder: so that "
                              "two encoders never write one file at once, this job's encoder gets a copy of the "
                              "configuration whose ReconFile leads to /dev/null, and %1 is left to the other job.")
            .arg(native(recon));
    case NoFile:
    case Written:
        break;
    }
    return QString();
}

void ReconPlace::release()
{
    if (claimFd < 0)
        return;
    struct stat held, named;
    // Only the holder of the lock may take the file away, and only while it is the file this
    // run made and nobody wrote to it.
    if (madeFile && ::fstat(claimFd, &held) == 0 && held.st_size == 0
        && ::stat(QFile::encodeName(recon).constData(), &named) == 0 && named.st_dev == held.st_dev
        && named.st_ino == held.st_ino && named.st_size == 0)
        QFile::remove(recon);
    ::flock(claimFd, LOCK_UN);
    ::close(claimFd);
    claimFd = -1;
}
