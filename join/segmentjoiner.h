#ifndef SEGMENTJOINER_H
#define SEGMENTJOINER_H

// Joins independently encoded elementary streams of one codec, in order, into one stream. Each
// segment must open with its parameter sets and a random-access picture, and all must code
// pictures of the same size, chroma format and bit depth. The segments' bytes are copied as
// they are, parameter sets included, so a rewrite of each segment carries over.
// A seam is joined one of two ways. Closed: the later segment follows whole (its codec makes an
// opening picture with leading pictures start anew: in HEVC a CRA picture becomes a BLA
// picture). Exact: the earlier segment also coded the later one's first
// picture, and the later one opened with its copy as an IDR picture (see ExactSeam); once the
// two copies are proven to decode to the same picture, the copy's access unit goes and the
// later segment's picture order counts go on from the earlier segment's, so that the joined
// stream is the one a single encoder run would have written.

#include "bitstream/codec.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

struct SeamVerdict
{
    enum Kind {
        Closed,      // joined whole
        Exact,       // the later segment's copy of its first picture dropped, its order counts renumbered
        NotProven    // meant to be exact, but not proven to be (reason): it is not joined at all
    };
    Kind kind = Closed;
    QString reason;  // why it is not exact, where an exact seam was asked for or looked for
};

struct JoinResult
{
    bool ok = false;
    QString error;       // one line naming the segment (or the output) and the reason
    bool outputFailed = false;   // the error lies with writing the output (a full disk), not a segment
    bool stopped = false;        // stopped on request; nothing was written
    int segments = 0;
    QList<SeamVerdict> seams;    // between segment i and i + 1, once they were looked at
    int exactSeams() const;
};

class SegmentJoiner
{
public:
    // How to join a seam.
    enum class Seam {
        Closed,      // whole, as the segments are
        Overlap,     // exactly; a seam not proven fails the join
        Detect       // exactly where the segments overlap and it is proven, else closed
    };

    // Seams lists one entry per seam; missing entries are Closed. Tools are what the seam
    // proof decodes with where the segments' codec needs them.
    SegmentJoiner(const QString &outputPath, const QStringList &segmentPaths, const QList<Seam> &seams = {},
                  const std::atomic_bool *stop = nullptr, const Codec::Tools &tools = Codec::Tools());
    ~SegmentJoiner();
    SegmentJoiner(const SegmentJoiner &) = delete;
    SegmentJoiner &operator=(const SegmentJoiner &) = delete;

    // Reads the segments and looks at every seam that may be exact, without writing anything.
    // The result tells how each seam would be joined; not ok when a segment cannot be joined
    // or a seam meant to be exact is not proven (every seam is still looked at).
    JoinResult prepare();
    // After a prepare() that was ok: writes a temporary file beside outputPath that replaces it
    // only once complete; on failure nothing is created and an existing output is left as it
    // was. Only regular files are read (a named pipe is refused, never waited on). The stop
    // flag, when given, is looked at between chunks.
    JoinResult write();

    // prepare() and write() in one.
    static JoinResult join(const QString &outputPath, const QStringList &segmentPaths,
                           const std::atomic_bool *stop = nullptr, const QList<Seam> &seams = {},
                           const Codec::Tools &tools = Codec::Tools());

    struct Plan;

private:
    bool isStopped() const { return stop && *stop; }
    JoinResult segmentError(int index, const QString &reason);
    JoinResult outputError(const QString &reason, bool writing = true);
    JoinResult stopped();
    void lookAtSeams();

    const QString outputPath;
    const QStringList segmentPaths;
    const QList<Seam> seamKinds;
    const std::atomic_bool *stop;
    const Codec::Tools tools;
    JoinResult result;
    QList<Plan> plans;
};

#endif // SEGMENTJOINER_H
