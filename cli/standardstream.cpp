#include "standardstream.h"

#include <QtGlobal>

#include <cerrno>
#include <climits>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How long a stream is waited for once the program is stopping.
constexpr int stoppingWaitMs = 1000;

bool mayMakeAWriterWait(int fd)
{
    struct stat info;
    return ::fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
}

} // namespace

StandardStream::StandardStream(int fd)
    : fd(fd)
    , mayWait(mayMakeAWriterWait(fd))
{
}

StandardStream::Result StandardStream::write(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        if (stalled || !waitUntilWritable())
            return Dropped;
        // A pipe that polls writable takes PIPE_BUF bytes without making its writer wait.
        const size_t piece = mayWait ? size_t(qMin<qsizetype>(left, PIPE_BUF)) : size_t(left);
        const ssize_t written = ::write(fd, data, piece);
        if (written < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (written <= 0)
            return Failed;
        data += written;
        left -= written;
    }
    return Written;
}

// False when the stream took nothing while the program is stopping: it is given up.
bool StandardStream::waitUntilWritable()
{
    if (!mayWait)
        return true;
    for (;;) {
        pollfd watched[2] = {{fd, POLLOUT, 0}, {interruptFd, POLLIN, 0}};
        // The signal's byte stays readable until the event loop reads it, so it is watched for
        // only until the program knows it is stopping.
        const nfds_t count = !stopping && interruptFd >= 0 ? 2 : 1;
        const int ready = ::poll(watched, count, stopping ? stoppingWaitMs : -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (watched[0].revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)))
            return true;   // the write says what is wrong, if anything
        if (ready == 0) {
            stalled = true;
            return false;
        }
        // A signal was caught: the program stops, and the stream is waited for a moment only.
        stopping = true;
    }
}
