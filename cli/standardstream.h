#ifndef STANDARDSTREAM_H
#define STANDARDSTREAM_H

#include <QByteArray>

// One of the program's standard streams, written with write() itself, so that nothing waits in
// a buffer of the C library when the program exits. A stream that takes nothing for now (a pipe
// whose reader does not read, a terminal held with Ctrl-S) is waited for, as the program has
// always done; but the wait also watches a descriptor that becomes readable once a signal is
// caught (SignalWatcher::pendingDescriptor()), so that a stop is never held up by a reader that
// does not read. From then on, and once told the program is stopping, a stream is waited for a
// moment only: what it does not take by then is dropped, then and after, and the program ends
// when asked.
class StandardStream
{
public:
    enum Result {
        Written,
        Dropped,    // the program is stopping and the stream takes nothing: left out
        Failed      // the stream is closed (a reader gone) or broken
    };

    explicit StandardStream(int fd);

    // fd: readable while a caught signal waits for the event loop; -1, none.
    void setInterruptDescriptor(int fd) { interruptFd = fd; }
    void setStopping() { stopping = true; }
    Result write(const QByteArray &bytes);

private:
    bool waitUntilWritable();

    const int fd;
    // A pipe, socket or terminal: a write may wait for its reader, so it is waited for first,
    // and written in pieces that a writable one takes without waiting.
    const bool mayWait;
    int interruptFd = -1;
    bool stopping = false;
    bool stalled = false;   // took nothing while the program was stopping
};

#endif // STANDARDSTREAM_H
