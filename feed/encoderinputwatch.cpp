#include "encoderinputwatch.h"

#include <QDir>
#include <QFile>
#include <QHash>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// The processes the encoder started are looked up once every this many checks: an encoder
// seldom starts helpers, and a look through every process costs more than the rest.
constexpr int treeEvery = 4;

#ifdef Q_OS_LINUX
QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(4096);
}

// The parent's number from /proc/<pid>/stat, "pid (name) state ppid ...", whose name may hold
// blanks and parentheses of its own.
pid_t parentIn(const QByteArray &stat)
{
    const qsizetype nameEnd = stat.lastIndexOf(')');
    if (nameEnd < 0)
        return -1;
    const QList<QByteArray> fields = stat.mid(nameEnd + 2).split(' ');
    return fields.size() > 1 ? pid_t(fields.at(1).toLong()) : -1;
}

bool isOpenCall(long number)
{
#ifdef SYS_open
    if (number == SYS_open)
        return true;
#endif
#ifdef SYS_openat2
    if (number == SYS_openat2)
        return true;
#endif
    return number == SYS_openat;
}
#endif

} // namespace

EncoderInputWatch::EncoderInputWatch(const QString &pipePath, qint64 encoderPid)
    : root(pid_t(encoderPid))
{
#ifdef Q_OS_LINUX
    const QByteArray path = QFile::encodeName(pipePath);
    struct stat info;
    if (::stat(path.constData(), &info) == 0 && S_ISFIFO(info.st_mode)) {
        device = info.st_dev;
        inode = info.st_ino;
    }
    notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify >= 0 && ::inotify_add_watch(notify, path.constData(), IN_OPEN) < 0) {
        ::close(notify);
        notify = -1;
    }
    processes << root;
#else
    Q_UNUSED(pipePath);
#endif
}

EncoderInputWatch::~EncoderInputWatch()
{
#ifdef Q_OS_LINUX
    if (notify >= 0)
        ::close(notify);
#endif
}

QString EncoderInputWatch::check(bool writerOpen, bool writerClosed)
{
#ifdef Q_OS_LINUX
    if (inode == 0 || root <= 0)
        return QString();
    if (checks++ % treeEvery == 0)
        refreshProcesses();
    const QList<Handle> handles = pipeHandles();
    if (separateOpens(handles) > 1 || (writerOpen && openedSinceBaseline(!handles.isEmpty())))
        return QStringLiteral("opened its input a second time");
    // The encoder's first open waits until the job opens its end. Once the encoder holds the
    // pipe, or the job has closed its end again, an open of the pipe waits for a writer that
    // never comes.
    QList<pid_t> inOpen;
    for (pid_t pid : std::as_const(processes))
        if (waitsToOpenThePipe(pid, &inOpen) && writerOpen && (!handles.isEmpty() || writerClosed))
            return QStringLiteral("waits to open its input a second time");
    inOpenBefore = inOpen;
#else
    Q_UNUSED(writerOpen);
    Q_UNUSED(writerClosed);
#endif
    return QString();
}

#ifdef Q_OS_LINUX

// The processes below root from each of their threads' list of children, which the kernel keeps
// where it is built with it: a few small reads instead of a look through every process. False
// where there is no such list.
namespace {

bool descendantsOf(pid_t root, QList<pid_t> *found)
{
    static const bool listed = QFile::exists(QStringLiteral("/proc/self/task/%1/children").arg(::getpid()));
    if (!listed)
        return false;
    *found = {root};
    for (int i = 0; i < found->size(); ++i) {
        const QString tasks = QStringLiteral("/proc/%1/task").arg(found->at(i));
        // A process that ended meanwhile has none.
        for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            for (const QByteArray &child : readProcFile(tasks + QLatin1Char('/') + task + QStringLiteral("/children"))
                                               .split(' ')) {
                bool numeric = false;
                const pid_t pid = pid_t(child.trimmed().toLong(&numeric));
                if (numeric && pid > 0 && !found->contains(pid))
                    *found << pid;
            }
    }
    return true;
}

} // namespace

void EncoderInputWatch::refreshProcesses()
{
    if (descendantsOf(root, &processes))
        return;
    QHash<pid_t, QList<pid_t>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const pid_t pid = pid_t(entry.toLong(&numeric));
        if (!numeric)
            continue;
        const pid_t parent = parentIn(readProcFile(QStringLiteral("/proc/%1/stat").arg(pid)));
        if (parent > 0)
            children[parent] << pid;
    }
    processes = {root};
    for (int i = 0; i < processes.size(); ++i)
        processes << children.value(processes.at(i));
}

QList<EncoderInputWatch::Handle> EncoderInputWatch::pipeHandles() const
{
    QList<Handle> handles;
    for (pid_t pid : processes) {
        const QString folder = QStringLiteral("/proc/%1/fd").arg(pid);
        const QStringList descriptors = QDir(folder).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : descriptors) {
            struct stat info;
            if (::stat(QFile::encodeName(folder + QLatin1Char('/') + fd).constData(), &info) == 0
                && info.st_dev == device && info.st_ino == inode)
                handles.append({pid, fd.toInt()});
        }
    }
    return handles;
}

// Handles of one open are counted once: a descriptor duplicated, or inherited by a child.
// Where the system cannot compare them, two in one process count as two opens, and a child's
// as inherited.
int EncoderInputWatch::separateOpens(const QList<Handle> &handles) const
{
    QList<Handle> opens;
    for (const Handle &handle : handles) {
        bool seen = false;
        for (const Handle &open : std::as_const(opens)) {
            const long order = ::syscall(SYS_kcmp, open.pid, handle.pid, KCMP_FILE, open.fd, handle.fd);
            if (order == 0 || (order < 0 && open.pid != handle.pid)) {
                seen = true;
                break;
            }
        }
        if (!seen)
            opens << handle;
    }
    return int(opens.size());
}

// Whether the process sits in an open of the job's pipe, waiting for a writer. The kernel names
// the wait (wchan); the path is read from the process's memory where the system allows it.
// Where neither tells, an open that lasts from one check to the next counts.
bool EncoderInputWatch::waitsToOpenThePipe(pid_t pid, QList<pid_t> *inOpen)
{
    const QByteArray wchan = readProcFile(QStringLiteral("/proc/%1/wchan").arg(pid)).trimmed();
    const bool named = !wchan.isEmpty() && wchan != "0";
    if (named && wchan != "wait_for_partner")
        return false;
    const QByteArray line = readProcFile(QStringLiteral("/proc/%1/syscall").arg(pid)).trimmed();
    if (line.isEmpty())
        return named;
    const QList<QByteArray> call = line.split(' ');
    bool numeric = false;
    const long number = call.first().toLong(&numeric);
    if (!numeric || !isOpenCall(number) || call.size() < 4)
        return false;

#ifdef SYS_openat2
    const bool withFolder = number == SYS_openat || number == SYS_openat2;
#else
    const bool withFolder = number == SYS_openat;
#endif
    const int directory = withFolder ? int(call.at(1).toULongLong(nullptr, 16)) : AT_FDCWD;
    const quint64 address = call.at(withFolder ? 2 : 1).toULongLong(nullptr, 16);
    QByteArray path;
    const int memory = ::open(QFile::encodeName(QStringLiteral("/proc/%1/mem").arg(pid)).constData(),
                              O_RDONLY | O_CLOEXEC);
    if (memory >= 0) {
        char text[4096];
        const ssize_t got = ::pread(memory, text, sizeof text - 1, off_t(address));
        if (got > 0) {
            text[got] = 0;
            path = QByteArray(text);
        }
        ::close(memory);
    }
    if (!path.isEmpty()) {
        if (!path.startsWith('/'))
            path = QFile::encodeName(directory == AT_FDCWD ? QStringLiteral("/proc/%1/cwd/").arg(pid)
                                                           : QStringLiteral("/proc/%1/fd/%2/").arg(pid).arg(directory))
                + path;
        struct stat info;
        return ::stat(path.constData(), &info) == 0 && info.st_dev == device && info.st_ino == inode;
    }
    inOpen->append(pid);
    return named || inOpenBefore.contains(pid);
}

// Every open of the pipe after the encoder's first one and the job's own: the opens until both
// are done are counted out (inotify merges repeated events, so they are not counted one by
// one). The job's open is done once its end is open; the encoder's once it holds the pipe,
// for the kernel queues an open's event before the new handle shows. The job's open returning
// is not enough: it wakes the encoder's waiting open, whose event comes only once the encoder
// runs again, which on a busy machine may be after a look or two.
bool EncoderInputWatch::openedSinceBaseline(bool encoderHoldsPipe)
{
    if (notify < 0)
        return false;
    bool opened = false;
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t got = ::read(notify, events, sizeof events);
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at);
            opened = opened || (event->mask & IN_OPEN);
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    if (!baselined) {
        baselined = encoderHoldsPipe;
        return false;
    }
    return opened;
}

#endif
