#ifndef SEGMENTJOINER_H
#define SEGMENTJOINER_H

// Joins independently encoded HEVC elementary streams, in order, into one stream. Each
// segment must open with its parameter sets and a random-access picture, and all must code
// pictures of the same size, chroma format and bit depth. The segments' bytes are copied as
// they are, parameter sets included, so a rewrite of each segment carries over.

#include <QString>
#include <QStringList>

struct JoinResult
{
    bool ok = false;
    QString error;       // one line naming the segment (or the output) and the reason
    int segments = 0;
};

class SegmentJoiner
{
public:
    // Writes a temporary file beside outputPath that replaces it only once complete; on
    // failure nothing is created and an existing output is left as it was.
    static JoinResult join(const QString &outputPath, const QStringList &segmentPaths);
};

#endif // SEGMENTJOINER_H
