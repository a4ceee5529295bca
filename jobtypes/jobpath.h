#ifndef JOBPATH_H
#define JOBPATH_H

#include "jobtypes.h"

#include <QObject>
#include <QString>

// One way through a job, in one piece or in segments, as TranscodeJob drives it: started once,
// stopped or aborted, and heard through these signals, which TranscodeJob hands on.
class JobPath : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void start() = 0;
    // Ends every encoder; what is finished is kept, and finished() follows.
    virtual void stop() = 0;
    // As stop(), but returns once everything has ended, without finished().
    virtual void abort() = 0;

signals:
    void commandLineReady(const QString &commandLine);
    void progressChanged(const JobProgress &progress);
    void encoderOutput(const QByteArray &bytes);
    void message(const QString &line);
    void warning(const QString &title, const QString &text);
    void finished(const JobResult &result);
};

#endif // JOBPATH_H
