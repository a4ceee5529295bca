#ifndef OUTPUTMAKER_H
#define OUTPUTMAKER_H

#include "outputguard.h"

#include "bitstream/codec.h"
#include "bitstream/outputfacts.h"
#include "join/segmentjoiner.h"
#include "mux/containermuxer.h"
#include "report/qualityreport.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <optional>

class QThread;

// What the encoders wrote, and the user's file to make of it.
struct OutputRequest
{
    // The encoders' bitstreams in order: one is used as it is; several are joined into `joined`,
    // a file beside them, which then takes the output's place.
    QStringList bitstreams;
    // How each seam between them is joined (one entry a seam; missing entries are closed): an
    // overlap whose copies are not proven to match joins nothing (NotJoined, seams says which).
    QList<SegmentJoiner::Seam> seams;
    QString joined;
    QString output;
    // One encoder's own file, as it was just before the encoder started: it is checked to be
    // written in this run, without a writer left and with a picture in it.
    std::optional<OutputGuard::Stamp> before;
    OutputFacts facts;          // what the rewrite writes into the parameter sets
    Codec::Tools tools;         // what the seam proof decodes with where the codec needs them
    // A container output: what the mux needs besides the bitstream, which is filled in here.
    std::optional<MuxRequest> container;

    // The report: each bitstream's picture rows, at the index of its first picture.
    struct Rows
    {
        qint64 first = 0;
        QList<PictureRow> rows;
    };
    QList<Rows> rows;
    double frameRate = 0;
    double encodingSeconds = 0;
    qint64 pictures = 0;        // handed to the encoders, for a report without rows
    int qp = -1;
};

// What came of it, as one plain value.
struct OutputResult
{
    enum Outcome {
        Made,           // the output is in place
        LeftAsIs,       // a process still writes the encoder's file: nothing was changed
        Unwritten,      // the encoder exited 0 but wrote no file, or one without a picture
        NotJoined,      // the bitstreams could not be joined, or the joined one not put in place
        MuxFailed,      // the container could not be written; the bitstream is kept
        Stopped         // stopped while the container was written; the bitstream is kept
    };
    Outcome outcome = Made;
    QStringList lines;          // for the log, in order
    QString problem;            // Unwritten, NotJoined, MuxFailed: what the user is told
    QString kept;               // where the encoded bitstream is kept, when it is
    QList<SeamVerdict> seams;   // how each seam was joined, or why one could not be
    QualityReport report;
    bool reported = false;      // the report was made (not for bitstreams that were not joined)
};

// The one way from the encoders' bitstreams to the user's file, whether there is one bitstream
// or twenty: join (several), check (one encoder's own file), rewrite of the parameter sets with
// the SEI, the report's summary, mux (a container output), and the replace. Each step writes a
// temporary file beside its target that replaces it only when whole, and a step that cannot be
// done leaves the bitstream on disk under a name it tells. The steps run on a thread of their
// own; finished() comes back on the owner's thread.
class OutputMaker : public QObject
{
    Q_OBJECT

public:
    explicit OutputMaker(QObject *parent = nullptr);
    // Stops the steps and waits for them.
    ~OutputMaker() override;

    void start(const OutputRequest &request);
    // A container being written stops; finished() follows with Stopped.
    void stop() { stopRequested = true; }
    bool isRunning() const { return thread != nullptr; }
    // Stops and returns once the steps have ended, without finished().
    void abort();

    // The steps, on the calling thread.
    static OutputResult make(const OutputRequest &request, const std::atomic_bool *stop = nullptr);
    // A bitstream that did not make it into its container is kept as "<output>.265" when it
    // holds anything (or "<output>.1.265" and so on, never over a file that is there); an empty
    // one goes. Returns where it is kept, and with say a line for the log saying so.
    static QString keepBitstream(const QString &bitstream, const QString &output, bool say, QStringList *lines);
    // The report of an encoder's picture rows, summarized over the bitstream file.
    static QualityReport report(const OutputRequest &request, const QString &bitstream);

signals:
    void finished(const OutputResult &result);

private:
    QThread *thread = nullptr;
    std::atomic_bool stopRequested{false};
};

Q_DECLARE_METATYPE(OutputResult)

#endif // OUTPUTMAKER_H
