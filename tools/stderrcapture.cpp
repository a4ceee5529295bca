#include "stderrcapture.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

} // namespace

StderrCapture::StderrCapture()
{
    std::fflush(stderr);
    captureFd = ::memfd_create("stderr-capture", MFD_CLOEXEC);
    savedFd = captureFd >= 0 ? ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3) : -1;
    if (savedFd < 0 || ::dup2(captureFd, STDERR_FILENO) < 0) {
        // No capture: standard error stays as it was and finish() returns nothing.
        if (savedFd >= 0)
            ::close(savedFd);
        if (captureFd >= 0)
            ::close(captureFd);
        savedFd = captureFd = -1;
    }
}

StderrCapture::~StderrCapture()
{
    finish();
}

std::string StderrCapture::finish()
{
    if (captureFd < 0)
        return std::string();
    std::fflush(stderr);
    ::dup2(savedFd, STDERR_FILENO);
    ::close(savedFd);

    std::string text;
    char chunk[4096];
    ssize_t got;
    off_t at = 0;
    while ((got = ::pread(captureFd, chunk, sizeof chunk, at)) != 0) {
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        text.append(chunk, static_cast<size_t>(got));
        at += got;
    }
    ::close(captureFd);
    savedFd = captureFd = -1;
    writeAll(STDERR_FILENO, text.data(), text.size());
    return text;
}
