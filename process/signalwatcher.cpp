#include "signalwatcher.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QVarLengthArray>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace {

const int signalNumbers[] = {SIGINT, SIGTERM, SIGHUP};
const int signalCount = int(sizeof signalNumbers / sizeof signalNumbers[0]);

// The write ends of the live watchers' pipes, read by the handler. Atomics that are always
// lock-free may be used inside a signal handler; a mutex may not.
const int maxWatchers = 8;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free ints");
std::atomic<int> writeEnds[maxWatchers] = {-1, -1, -1, -1, -1, -1, -1, -1};

// Guards the slots, the count and the saved dispositions against watchers made or destroyed
// on several threads at once; never taken by the handler.
std::mutex registryMutex;
int liveWatchers = 0;
struct sigaction previousActions[signalCount];
bool replaced[signalCount] = {};

void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    for (std::atomic<int> &end : writeEnds) {
        const int fd = end.load();
        if (fd >= 0) {
            // A full pipe drops the byte: the reader has plenty of the same news to handle.
            const ssize_t written = ::write(fd, &byte, 1);
            (void)written;
        }
    }
    errno = savedErrno;
}

void installHandlers()
{
    for (int i = 0; i < signalCount; ++i) {
        replaced[i] = false;
        if (sigaction(signalNumbers[i], nullptr, &previousActions[i]) != 0)
            continue;
        const bool ignored = !(previousActions[i].sa_flags & SA_SIGINFO)
                             && previousActions[i].sa_handler == SIG_IGN;
        if (ignored)
            continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = forwardSignal;
        sigemptyset(&action.sa_mask);
        // Interrupted system calls resume, so that no code elsewhere sees a stray EINTR.
        action.sa_flags = SA_RESTART;
        replaced[i] = sigaction(signalNumbers[i], &action, nullptr) == 0;
    }
}

void restoreHandlers()
{
    for (int i = 0; i < signalCount; ++i) {
        if (replaced[i])
            sigaction(signalNumbers[i], &previousActions[i], nullptr);
        replaced[i] = false;
    }
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("Cannot watch for signals: %s", std::strerror(errno));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        for (int i = 0; i < maxWatchers && slot < 0; ++i) {
            if (writeEnds[i].load() < 0)
                slot = i;
        }
        if (slot >= 0) {
            writeEnds[slot].store(ends[1]);
            if (liveWatchers++ == 0)
                installHandlers();
        }
    }
    if (slot < 0) {
        qWarning("Cannot watch for signals: more than %d watchers", maxWatchers);
        ::close(ends[0]);
        ::close(ends[1]);
        return;
    }
    readFd = ends[0];
    writeFd = ends[1];
    notifier = new QSocketNotifier(readFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalWatcher::readPending);
}

SignalWatcher::~SignalWatcher()
{
    if (slot < 0)
        return;
    delete notifier;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        // The dispositions go back before the last pipe closes, so that no signal falls
        // between the two and is lost.
        if (--liveWatchers == 0)
            restoreHandlers();
        writeEnds[slot].store(-1);
    }
    ::close(readFd);
    ::close(writeFd);
}

QList<int> SignalWatcher::watchedSignals()
{
    return QList<int>(std::begin(signalNumbers), std::end(signalNumbers));
}

void SignalWatcher::readPending()
{
    QVarLengthArray<unsigned char, 64> received;
    unsigned char buffer[64];
    for (;;) {
        const ssize_t count = ::read(readFd, buffer, sizeof buffer);
        if (count > 0) {
            received.append(buffer, count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        break;
    }
    // A receiver may destroy the watcher while it is told.
    const QPointer<SignalWatcher> self(this);
    for (unsigned char signalNumber : received) {
        emit caught(signalNumber);
        if (!self)
            return;
    }
}
