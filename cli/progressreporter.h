#ifndef PROGRESSREPORTER_H
#define PROGRESSREPORTER_H

#include "standardstream.h"

#include "job/transcodejob.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

// Everything the program writes while a job runs: the encoder's output on standard output,
// and on standard error the progress and the lines of the job, each stream a StandardStream.
// On a terminal the progress is one status line rewritten in place, cleared before any other
// line (on either stream, when both are that terminal) and drawn again after it.
class ProgressReporter
{
public:
    enum Style {
        Live,       // the status line, for a terminal
        Periodic,   // a plain line every few seconds, for a log file
        Json,       // one JSON object a line, for programs
        Silent
    };

    explicit ProgressReporter(Style style);
    // The style --progress text means here: live on a terminal, periodic elsewhere.
    static Style textStyle();

    void update(const JobProgress &progress);
    // The last report: a closing JSON object or a cleared status line. On a complete run the
    // count is final, so the total is taken to be what was counted.
    void finish(const JobProgress &progress, bool complete, int exitStatus);
    // A line for standard error, without its newline.
    void printLine(const QString &line);
    // The encoder's bytes, passed on to standard output unchanged.
    void writeOutput(const QByteArray &bytes);
    // A stream that takes nothing holds the program up until it does, or until fd becomes
    // readable (a signal caught); once the program is stopping, for a moment only.
    void setInterruptDescriptor(int fd);
    void setStopping();

private:
    QString statusText(const JobProgress &progress) const;
    QByteArray jsonLine(const JobProgress &progress, bool final, int exitStatus) const;
    void clearStatus();
    void drawStatus();
    void writeError(const QByteArray &bytes);

    const Style style;
    const bool outputSharesTerminal;
    StandardStream outputStream;
    StandardStream errorStream;
    JobProgress latest;
    bool haveProgress = false;
    bool statusShown = false;
    bool outputAtLineStart = true;
    bool outputBroken = false;
    QElapsedTimer sincePrinted;
};

#endif // PROGRESSREPORTER_H
