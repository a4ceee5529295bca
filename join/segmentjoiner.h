#ifndef SEGMENTJOINER_H
#define SEGMENTJOINER_H

// Joins independently encoded HEVC elementary streams, in order, into one stream. Each
// segment must open with its parameter sets and a random-access picture, and all must code
// pictures of the same size, chroma format and bit depth. The segments' bytes are copied as
// they are, parameter sets included, so a rewrite of each segment carries over.

#include <QString>
#include <QStringList>

#include <atomic>

struct JoinResult
{
    bool ok = false;
    QString error;       // one line naming the segment (or the output) and the reason
    bool outputFailed = false;   // the error lies with writing the output (a full disk), not a segment
    bool stopped = false;        // stopped on request; nothing was written
    int segments = 0;
};

class SegmentJoiner
{
public:
    // Writes a temporary file beside outputPath that replaces it only once complete; on
    // failure nothing is created and an existing output is left as it was. Only regular
    // files are read (a named pipe is refused, never waited on). A stop flag, when given, is
    // looked at between chunks.
    static JoinResult join(const QString &outputPath, const QStringList &segmentPaths,
                           const std::atomic_bool *stop = nullptr);
};

#endif // SEGMENTJOINER_H
