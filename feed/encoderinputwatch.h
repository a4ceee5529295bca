#ifndef ENCODERINPUTWATCH_H
#define ENCODERINPUTWATCH_H

#include <QList>
#include <QString>

#include <sys/types.h>

// Watches an encoder that reads its pictures from the job's named pipe for an open of that pipe
// beyond its first, which a pipe cannot serve: a second reader takes pictures away from the
// first, and an open after the job has closed its end waits for a writer for ever. It looks at
// the encoder and every process it started: their open files (/proc/<pid>/fd: the pipe held
// through two separate opens), whether one sits waiting to open a pipe (/proc/<pid>/wchan),
// and who opens the pipe at all (inotify). Linux only; elsewhere it never reports.
class EncoderInputWatch
{
public:
    EncoderInputWatch(const QString &pipePath, qint64 encoderPid);
    ~EncoderInputWatch();
    EncoderInputWatch(const EncoderInputWatch &) = delete;
    EncoderInputWatch &operator=(const EncoderInputWatch &) = delete;

    // Called a few times a second. writerOpen: the job's end of the pipe is open (so the
    // encoder's first open is done); writerClosed: the job has closed it again. Returns what
    // the encoder does wrong, worded to follow "The encoder ", e.g. "opened its input a second
    // time"; empty while nothing is wrong.
    QString check(bool writerOpen, bool writerClosed);

private:
    struct Handle
    {
        pid_t pid;
        int fd;
    };
    void refreshProcesses();
    QList<Handle> pipeHandles() const;
    int separateOpens(const QList<Handle> &handles) const;
    bool waitsToOpenThePipe(pid_t pid, QList<pid_t> *inOpen);
    bool openedSinceBaseline(bool encoderHoldsPipe);

    const pid_t root;
    quint64 device = 0, inode = 0;
    int notify = -1;            // inotify descriptor watching the pipe's opens; -1 without
    bool baselined = false;     // the opens of the encoder's first read and of the job's end are counted out
    QList<pid_t> processes;     // the encoder and its descendants, looked up now and then
    int checks = 0;
    QList<pid_t> inOpenBefore;  // in an open system call at the previous check, where wchan says nothing
};

#endif // ENCODERINPUTWATCH_H
