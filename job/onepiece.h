#ifndef ONEPIECE_H
#define ONEPIECE_H

#include "encoderrun/encoderrun.h"
#include "jobtypes/jobpath.h"
#include "jobtypes/jobtypes.h"
#include "jobtypes/progressticker.h"
#include "output/outputguard.h"
#include "output/outputmaker.h"

#include <QString>


// A job in one piece: a single EncoderRun encodes the whole input (or the span asked for) into
// the output, or for a container output into a hidden file beside it, and the output step
// makes the user's file of it.
class OnePiece : public JobPath
{
    Q_OBJECT

public:
    OnePiece(const JobSettings &settings, const QElapsedTimer &jobClock, QObject *parent = nullptr);
    // Ends a running job and waits for it, as abort() does.
    ~OnePiece() override;

    void start() override;
    void stop() override;
    // Ends everything and returns once it has ended, without finished(); the encoder's
    // bitstream of a container output is kept.
    void abort() override;

private:
    void failBeforeStart(JobResult::Failure failure, const QString &text);
    void reportProgress(bool force);
    void runFinished();
    bool takeOutcome(const EncoderRun::Outcome &outcome, bool decoded);
    OutputRequest requestFor(const EncoderRun::Outcome &outcome) const;
    void checkDeclaredCount(qint64 declared, bool exact);
    void outputMade(const OutputResult &made);

    const JobSettings settings;
    ProgressTicker ticker;
    EncoderRun *run = nullptr;
    OutputMaker *maker = nullptr;
    QString privateBitstream;       // a container output's: the encoder's file beside it
    OutputGuard::Stamp outputBefore;    // the encoder's file just before the encoder started
    qint64 expectedPictures = 0;
    qint64 declaredPictures = 0;    // what the input declares, from the start picture on
    JobResult result;               // while the output is made
};

#endif // ONEPIECE_H
