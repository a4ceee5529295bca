#ifndef CELLRUN_H
#define CELLRUN_H

#include "job/transcodejob.h"
#include "jobtypes/jobtypes.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>

// One job on one cell of an experiment: a TranscodeJob with the cell's settings, whose command
// line, messages and encoder output (standard error included) go into the cell's log, and whose
// end is told as what its verdict means for the cell. It knows nothing of other cells or of
// claims.
class CellRun : public QObject
{
    Q_OBJECT

public:
    struct Outcome
    {
        enum Kind {
            Made,        // the cell's bitstream and report are made (result.report holds it)
            Elsewhere,   // another process made the bitstream, or makes it
            Failed,      // the encoder failed, or the job could not run: exitCode, reason, lastLines
            NotCut,      // its segments' seams would not be exact (reason): it is to run in one piece
            Stopped
        };
        Kind kind = Failed;
        JobResult result;
        int exitCode = 0;          // the encoder's code (128 + N after signal N); 0 for another failure
        QString reason;            // one line
        QStringList lastLines;     // the log's last lines, the encoder's among them
    };

    // Each run writes a heading into the cell's log before its lines, "== <time> <heading>"; a
    // reader of the log finds where each run begins by it.
    static QByteArray logHeading(const QString &heading);
    static bool isLogHeading(QByteArrayView line);

    CellRun(const JobSettings &settings, const QString &logPath, QObject *parent = nullptr);
    ~CellRun() override;

    void start(const QString &heading);
    void stop() { job.stop(); }
    void abort();
    // Encoders the job runs at once: its setting, fewer once fewer segments are left.
    int encoders() const;
    const JobSettings &jobSettings() const { return settings; }

signals:
    void finished(const CellRun::Outcome &outcome);

private:
    void log(const QByteArray &bytes);
    void logOutput(const QByteArray &bytes);
    void ended(const JobResult &result);
    QStringList lastLogLines(int count) const;

    const JobSettings settings;
    TranscodeJob job;
    QFile logFile;
    qint64 logStart = 0;          // where this run's lines begin in the log
    QByteArray outputLine;        // the encoders' output after its last line end, not yet in the log
    JobProgress progress;
};

Q_DECLARE_METATYPE(CellRun::Outcome)

#endif // CELLRUN_H
