#include "framesink.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// How long a wait lasts before the flags are looked at again.
constexpr int checkIntervalMs = 50;

// Room promised to complete files of this process that are still being written: several
// segments preparing at once share one temporary folder, and each must see what the others
// are about to take.
std::atomic<qint64> promisedRoom{0};

} // namespace

FrameSink::FrameSink(const std::atomic_bool &stop, const std::atomic_bool &readerGone)
    : stop(stop)
    , readerGone(readerGone)
{
}

FrameSink::~FrameSink()
{
    close();
}

bool FrameSink::createPipe(const QString &pipePath)
{
    path = pipePath;
    pipe = true;
    if (::mkfifo(QFile::encodeName(path).constData(), 0600) == 0)
        return true;
    error = errno;
    return false;
}

bool FrameSink::createFile(const QString &filePath)
{
    path = filePath;
    pipe = false;
    whole = 0;
    // Close-on-exec: the encoder must not inherit a write handle, or it would wait for a
    // writer that never writes again.
    fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0)
        return true;
    error = errno;
    return false;
}

bool FrameSink::createCompleteFile(const QString &filePath, qint64 bytes)
{
    struct statvfs room;
    if (::statvfs(QFile::encodeName(QFileInfo(filePath).absolutePath()).constData(), &room) != 0) {
        error = errno;
        return false;
    }
    available = qMax<qint64>(0, qint64(room.f_bavail) * qint64(room.f_frsize) - promisedRoom);
    if (bytes > available) {
        error = ENOSPC;
        return false;
    }
    if (!createFile(filePath))
        return false;
    promised = qMax<qint64>(0, bytes);
    promisedRoom += promised;
    return true;
}

void FrameSink::keepPromise(qint64 bytes)
{
    bytes = qMin(bytes, promised);
    promised -= bytes;
    promisedRoom -= bytes;
}

FrameSink::Result FrameSink::openPipe()
{
    const QByteArray name = QFile::encodeName(path);
    // Opening without blocking fails with ENXIO until the encoder has opened its end; the
    // descriptor stays non-blocking, so that a full pipe never blocks past a stop.
    for (;;) {
        if (stop)
            return Stopped;
        if (readerGone)
            return ReaderGone;
        fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
#ifdef F_SETPIPE_SZ
            // A larger pipe means fewer waits per picture (a 1080p picture is 3 MB); where the
            // system allows less, the default stays.
            ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
#endif
            return Written;
        }
        if (errno != ENXIO && errno != EINTR) {
            error = errno;
            return Failed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

FrameSink::Result FrameSink::waitUntilWritable()
{
    for (;;) {
        if (stop)
            return Stopped;
        pollfd watched = {fd, POLLOUT, 0};
        const int ready = ::poll(&watched, 1, checkIntervalMs);
        if (ready > 0) {
            if (watched.revents & (POLLERR | POLLHUP))
                return ReaderGone;
            return Written;
        }
        if (ready < 0 && errno != EINTR) {
            error = errno;
            return Failed;
        }
        // The encoder may have exited while another process still holds its end open.
        if (readerGone)
            return ReaderGone;
    }
}

FrameSink::Result FrameSink::write(const uint8_t *data, size_t size)
{
    if (fd < 0) {
        error = EBADF;
        return Failed;
    }
    size_t done = 0;
    while (done < size) {
        if (stop)
            return Stopped;
        const ssize_t wrote = ::write(fd, data + done, size - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR)
            continue;
        if (pipe && wrote < 0 && errno == EAGAIN) {
            const Result waited = waitUntilWritable();
            if (waited != Written)
                return waited;
            continue;
        }
        if (pipe && wrote < 0 && errno == EPIPE)
            return ReaderGone;
        error = wrote < 0 ? errno : ENOSPC;
        // The encoder reads whole pictures only: a torn one is cut away.
        if (!pipe && ::ftruncate(fd, static_cast<off_t>(whole)) == 0)
            ::lseek(fd, static_cast<off_t>(whole), SEEK_SET);
        return Failed;
    }
    whole += static_cast<int64_t>(size);
    keepPromise(qint64(size));
    return Written;
}

void FrameSink::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    // What a complete file did not take (an input shorter than it said) is free again.
    keepPromise(promised);
}

QString FrameSink::sizeText(qint64 bytes)
{
    static const char *const units[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1000 && unit < 6) {
        value /= 1000;
        ++unit;
    }
    if (unit == 0)
        return QStringLiteral("%1 bytes").arg(bytes);
    return QStringLiteral("%1 %2").arg(value, 0, 'f', value < 10 ? 1 : 0).arg(QLatin1String(units[unit]));
}

QString FrameSink::errorText() const
{
    return QString::fromLocal8Bit(std::strerror(error));
}
