#include "growingfilereader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// How often the writers are looked up while waiting; a closing writer is also noticed at once
// through inotify.
constexpr auto scanInterval = std::chrono::milliseconds(150);

bool isNumber(const char *name)
{
    if (!*name)
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

// The access mode of an open descriptor, from the octal "flags:" line of /proc/PID/fdinfo/N.
bool openForWriting(const std::string &fdinfoPath)
{
    FILE *info = std::fopen(fdinfoPath.c_str(), "re");
    if (!info)
        return false;
    char line[256];
    bool writing = false;
    while (std::fgets(line, sizeof line, info)) {
        if (std::strncmp(line, "flags:", 6) == 0) {
            const long flags = std::strtol(line + 6, nullptr, 8);
            writing = (flags & O_ACCMODE) == O_WRONLY || (flags & O_ACCMODE) == O_RDWR;
            break;
        }
    }
    std::fclose(info);
    return writing;
}

} // namespace

GrowingFileReader::GrowingFileReader(double quietSeconds)
    : quietPeriod(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(quietSeconds)))
{
}

GrowingFileReader::~GrowingFileReader()
{
    if (notifyFd >= 0)
        ::close(notifyFd);
    if (ownsFd)
        ::close(fd);
}

bool GrowingFileReader::open(const std::string &path)
{
    if (path == "-") {
        fd = STDIN_FILENO;
        stream = true;
        return true;
    }
    // Opening a named pipe blocks until its writer comes; a signal may interrupt the wait.
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    ownsFd = fd >= 0;
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        message = "cannot open input file \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        message = "cannot read input file \"" + path + "\": it is a folder";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        stream = true;
        return true;
    }
    device = info.st_dev;
    inode = info.st_ino;
    const size_t slash = path.find_last_of('/');
    baseName = slash == std::string::npos ? path : path.substr(slash + 1);

    notifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notifyFd >= 0 && inotify_add_watch(notifyFd, path.c_str(), IN_MODIFY | IN_CLOSE_WRITE) < 0) {
        ::close(notifyFd);
        notifyFd = -1;
    }
    lastData = Clock::now();
    lastScan = Clock::time_point();
    return true;
}

GrowingFileReader::Result GrowingFileReader::read(unsigned char *buffer, size_t size)
{
    size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(fd, buffer + filled, size - filled);
        if (got > 0) {
            filled += static_cast<size_t>(got);
            position += got;
            lastData = Clock::now();
        } else if (got == 0) {
            if (stream || !waitForGrowth()) {
                leftover = filled;
                return End;
            }
        } else if (errno != EINTR) {
            message = std::string("cannot read the input file: ") + std::strerror(errno);
            return Failed;
        }
    }
    return Picture;
}

bool GrowingFileReader::grown() const
{
    struct stat info;
    return ::fstat(fd, &info) == 0 && info.st_size > position;
}

bool GrowingFileReader::waitForGrowth()
{
    for (;;) {
        if (grown())
            return true;
        const Clock::time_point now = Clock::now();
        if (closeSeen || now - lastScan >= scanInterval) {
            closeSeen = false;
            lastScan = now;
            // A writer may have appended its last bytes just before closing.
            if (!anyWriter())
                return grown();
        }
        if (now - lastData >= quietPeriod) {
            quietEnded = true;
            return false;
        }
        const auto untilScan = lastScan + scanInterval - now;
        const auto untilQuiet = lastData + quietPeriod - now;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::min(untilScan, untilQuiet));
        waitForEvent(static_cast<int>(std::max<long long>(1, wait.count() + 1)));
    }
}

void GrowingFileReader::waitForEvent(int timeoutMs)
{
    if (notifyFd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 100)));
        return;
    }
    pollfd watched = {notifyFd, POLLIN, 0};
    if (::poll(&watched, 1, timeoutMs) <= 0)
        return;
    alignas(inotify_event) char events[4096];
    ssize_t got;
    while ((got = ::read(notifyFd, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at);
            if (event->mask & IN_CLOSE_WRITE)
                closeSeen = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

bool GrowingFileReader::anyWriter() const
{
    DIR *processes = ::opendir("/proc");
    if (!processes)
        return true; // cannot tell: the quiet period decides
    const std::string own = std::to_string(::getpid());
    bool found = false;
    while (!found) {
        const dirent *process = ::readdir(processes);
        if (!process)
            break;
        if (!isNumber(process->d_name) || own == process->d_name)
            continue;
        const std::string base = std::string("/proc/") + process->d_name;
        DIR *descriptors = ::opendir((base + "/fd").c_str());
        if (!descriptors)
            continue;
        while (const dirent *descriptor = ::readdir(descriptors)) {
            if (!isNumber(descriptor->d_name))
                continue;
            const std::string link = base + "/fd/" + descriptor->d_name;
            // The link text is cheap to read; only names ending in the file's own name are
            // compared by device and inode, which also holds across differing mount paths.
            char target[4096];
            const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
            if (length <= 0)
                continue;
            target[length] = '\0';
            const char *slash = std::strrchr(target, '/');
            if (!slash || std::strncmp(slash + 1, baseName.c_str(), baseName.size()) != 0)
                continue;
            struct stat info;
            if (::stat(link.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode
                && openForWriting(base + "/fdinfo/" + descriptor->d_name)) {
                found = true;
                break;
            }
        }
        ::closedir(descriptors);
    }
    ::closedir(processes);
    return found;
}
