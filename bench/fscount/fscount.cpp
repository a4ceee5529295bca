// A preloaded library (LD_PRELOAD) that counts the file-system calls of one program and, as the
// program ends, appends them with its own CPU time to a file: what the simulated cluster
// reports per segment and per cell, without tracing every call. Calls are counted in the
// program named by FSCOUNT_PROGRAM (every other program the library is loaded into, such as the
// encoder's shell, writes nothing); the line goes to FSCOUNT_FILE:
//   program pid host end_s user_s system_s opens renames links unlinks listings entries stats
//   proc_opens proc_listings proc_entries proc_stats
// end_s is the wall clock (seconds since the epoch) at the end; the proc_ counts are the calls on
// /proc (this machine's processes, which a shared folder never sees), the others on files and
// folders. A program killed outright writes no line.

#include <atomic>
#include <mutex>
#include <set>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

enum Kind { Opens, Renames, Links, Unlinks, Listings, Entries, Stats, ProcOpens, ProcListings, ProcEntries, ProcStats,
            Kinds };
std::atomic<long> counts[Kinds];

void count(Kind kind)
{
    counts[kind].fetch_add(1, std::memory_order_relaxed);
}

bool inProc(const char *path)
{
    return path && strncmp(path, "/proc", 5) == 0 && (path[5] == '/' || path[5] == 0);
}

// Opens, listings and looks at a path, told apart by where the path is.
void count(Kind kind, const char *path)
{
    if (inProc(path))
        kind = kind == Opens ? ProcOpens : kind == Listings ? ProcListings : ProcStats;
    count(kind);
}

// The listings of /proc in progress, so that their entries are counted apart.
std::mutex procListingsLock;
std::set<DIR *> procListings;

void countEntry(DIR *dir)
{
    std::lock_guard<std::mutex> locked(procListingsLock);
    count(procListings.count(dir) ? ProcEntries : Entries);
}

template <typename F>
F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

double seconds(const timeval &time)
{
    return double(time.tv_sec) + double(time.tv_usec) / 1e6;
}

__attribute__((destructor)) void report()
{
    const char *wanted = getenv("FSCOUNT_PROGRAM");
    const char *file = getenv("FSCOUNT_FILE");
    if (!wanted || !file || strcmp(wanted, program_invocation_short_name) != 0)
        return;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char host[256] = "?";
    gethostname(host, sizeof host - 1);
    char line[512];
    const int length = snprintf(line, sizeof line, "%s %d %s %.6f %.6f %.6f %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld\n",
                                program_invocation_short_name, int(getpid()), host,
                                double(now.tv_sec) + double(now.tv_nsec) / 1e9, seconds(usage.ru_utime),
                                seconds(usage.ru_stime), counts[Opens].load(), counts[Renames].load(),
                                counts[Links].load(), counts[Unlinks].load(), counts[Listings].load(),
                                counts[Entries].load(), counts[Stats].load(), counts[ProcOpens].load(),
                                counts[ProcListings].load(), counts[ProcEntries].load(), counts[ProcStats].load());
    // One write with O_APPEND: the lines of processes ending together never mix.
    using Open = int (*)(const char *, int, ...);
    const int fd = next<Open>("open")(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && length > 0) {
        if (write(fd, line, size_t(length)) < 0)
            perror(file);
        close(fd);
    }
}

// The mode argument of the open calls, present when a file may be made.
mode_t modeOf(int flags, va_list arguments)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(arguments, int)) : 0;
}

} // namespace

extern "C" {

// The open calls, with the mode argument that is there when a file may be made.
#define COUNTED_OPEN(name, parameters, arguments)                                                            \
    int name parameters                                                                                      \
    {                                                                                                        \
        va_list rest;                                                                                        \
        va_start(rest, flags);                                                                               \
        const mode_t mode = modeOf(flags, rest);                                                             \
        va_end(rest);                                                                                        \
        count(Opens, path);                                                                                  \
        static const auto real = next<int(*) parameters>(#name);                                             \
        return real arguments;                                                                               \
    }
COUNTED_OPEN(open, (const char *path, int flags, ...), (path, flags, mode))
COUNTED_OPEN(open64, (const char *path, int flags, ...), (path, flags, mode))
COUNTED_OPEN(openat, (int dir, const char *path, int flags, ...), (dir, path, flags, mode))
COUNTED_OPEN(openat64, (int dir, const char *path, int flags, ...), (dir, path, flags, mode))

FILE *fopen(const char *path, const char *mode)
{
    count(Opens, path);
    static const auto real = next<FILE *(*)(const char *, const char *)>("fopen");
    return real(path, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    count(Opens, path);
    static const auto real = next<FILE *(*)(const char *, const char *)>("fopen64");
    return real(path, mode);
}

int rename(const char *from, const char *to)
{
    count(Renames);
    static const auto real = next<int (*)(const char *, const char *)>("rename");
    return real(from, to);
}

int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    count(Renames);
    static const auto real = next<int (*)(int, const char *, int, const char *)>("renameat");
    return real(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    count(Renames);
    static const auto real = next<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2");
    return real(fromDir, from, toDir, to, flags);
}

int link(const char *from, const char *to)
{
    count(Links);
    static const auto real = next<int (*)(const char *, const char *)>("link");
    return real(from, to);
}

int linkat(int fromDir, const char *from, int toDir, const char *to, int flags)
{
    count(Links);
    static const auto real = next<int (*)(int, const char *, int, const char *, int)>("linkat");
    return real(fromDir, from, toDir, to, flags);
}

int unlink(const char *path)
{
    count(Unlinks);
    static const auto real = next<int (*)(const char *)>("unlink");
    return real(path);
}

int unlinkat(int dir, const char *path, int flags)
{
    count(Unlinks);
    static const auto real = next<int (*)(int, const char *, int)>("unlinkat");
    return real(dir, path, flags);
}

DIR *opendir(const char *path)
{
    count(Listings, path);
    static const auto real = next<DIR *(*)(const char *)>("opendir");
    DIR *dir = real(path);
    if (dir && inProc(path)) {
        std::lock_guard<std::mutex> locked(procListingsLock);
        procListings.insert(dir);
    }
    return dir;
}

int closedir(DIR *dir)
{
    {
        std::lock_guard<std::mutex> locked(procListingsLock);
        procListings.erase(dir);
    }
    static const auto real = next<int (*)(DIR *)>("closedir");
    return real(dir);
}

DIR *fdopendir(int fd)
{
    count(Listings);
    static const auto real = next<DIR *(*)(int)>("fdopendir");
    return real(fd);
}

dirent *readdir(DIR *dir)
{
    countEntry(dir);
    static const auto real = next<dirent *(*)(DIR *)>("readdir");
    return real(dir);
}

dirent64 *readdir64(DIR *dir)
{
    countEntry(dir);
    static const auto real = next<dirent64 *(*)(DIR *)>("readdir64");
    return real(dir);
}

#define COUNTED_STAT(name, type)                                                                             \
    int name(const char *path, struct type *info)                                                            \
    {                                                                                                        \
        count(Stats, path);                                                                                  \
        static const auto real = next<int (*)(const char *, struct type *)>(#name);                         \
        return real(path, info);                                                                             \
    }
COUNTED_STAT(stat, stat)
COUNTED_STAT(stat64, stat64)
COUNTED_STAT(lstat, stat)
COUNTED_STAT(lstat64, stat64)

int fstatat(int dir, const char *path, struct stat *info, int flags)
{
    count(Stats, path);
    static const auto real = next<int (*)(int, const char *, struct stat *, int)>("fstatat");
    return real(dir, path, info, flags);
}

int fstatat64(int dir, const char *path, struct stat64 *info, int flags)
{
    count(Stats, path);
    static const auto real = next<int (*)(int, const char *, struct stat64 *, int)>("fstatat64");
    return real(dir, path, info, flags);
}

int statx(int dir, const char *path, int flags, unsigned int mask, struct statx *info)
{
    // An open file's own status (an empty path with AT_EMPTY_PATH) is no look at the folder.
    if (!(flags & AT_EMPTY_PATH) || *path)
        count(Stats, path);
    static const auto real = next<int (*)(int, const char *, int, unsigned int, struct statx *)>("statx");
    return real(dir, path, flags, mask, info);
}

} // extern "C"
