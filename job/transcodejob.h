#ifndef TRANSCODEJOB_H
#define TRANSCODEJOB_H

#include "jobtypes/jobtypes.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class JobPath;
class SegmentScheduler;

// One transcode from start to end, without widgets, and the only interface the window and the
// command-line program see. The owner talks to it through its signals and stop(); it lives on
// the owner's thread, which must run an event loop.
//
// It checks the paths, then runs the job in one piece (OnePiece: one encoder, no segment
// length) or in segments (SegmentScheduler: up to N encoders at once over the parts folder
// beside the output), and hands on what they say.
class TranscodeJob : public QObject
{
    Q_OBJECT

public:
    explicit TranscodeJob(QObject *parent = nullptr);
    // Stops a running job and waits for it: no encoder and no temporary file outlive it.
    ~TranscodeJob() override;

    // Starts the job; every start ends in exactly one finished(), a failure to start included.
    void start(const JobSettings &settings);
    // Asks a running job to stop: decoding stops, the encoders are terminated (killed after
    // 2 s) and finished() follows with Stopped. A one-piece output keeps what the encoder
    // wrote; finished segments are kept for a later run.
    void stop();
    // Stops as stop() does and returns only when the job has ended, without emitting finished().
    void abort();
    bool isRunning() const { return running; }

    // Why the output cannot be written as the settings ask (it is the input, the configuration
    // or the encoder, through links too; its folder is missing or read-only), in the words the
    // user is told; empty when it can.
    static QString outputProblem(const JobSettings &settings);

signals:
    // The encoder's command line, just before the (first) encoder starts. A slot connected
    // directly may show it modally: the encoders start once the slot returns.
    void commandLineReady(const QString &commandLine);
    void progressChanged(const JobProgress &progress);
    // Bytes the encoders wrote to their standard output, in chunks of bounded size; with
    // several encoders at once, whole lines each prefixed with its segment ("[3/12] ").
    void encoderOutput(const QByteArray &bytes);
    // A line for the log: the transport, an early end of the encoder, a stop, the rewrite.
    void message(const QString &line);
    // Something the user should see at once (a picture size change, a full disk).
    void warning(const QString &title, const QString &text);
    void finished(const JobResult &result);

private:
    void startOnePiece();
    void startSegments();
    void begin(JobPath *way);
    void ended(JobResult result);
    void retire(JobPath *way);

    JobSettings settings;
    bool running = false;
    bool stopping = false;
    QElapsedTimer clock;
    JobPath *path = nullptr;     // one piece, or segments
    // Ways that have ended: they may still be on the stack below the owner's slots (which may
    // open a modal box, whose event loop would run a deleteLater()), so they are deleted only
    // when the next job starts, or with this object.
    std::vector<std::unique_ptr<JobPath>> retired;
};

#endif // TRANSCODEJOB_H
