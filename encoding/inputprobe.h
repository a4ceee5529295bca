#ifndef INPUTPROBE_H
#define INPUTPROBE_H

#include "bitstream/outputrewriter.h"

#include <QString>

struct StreamInfo;

// What a job must know of a video input before it cuts it into segments: how many pictures it
// holds, their size, and what the output should show (from its first picture). Opening a
// named pipe would eat its pictures, so a pipe is never probed.
struct InputProbe
{
    QString problem;            // why the input could not be probed; then it runs in one piece
    qint64 pictures = 0;        // 0: not known in advance
    bool exact = false;         // the container's own count, not one worked out from the duration
    int width = 0, height = 0;  // of the pictures as decoded
    OutputFacts facts;

    // The pictures are looked at in the format the configuration asks the encoder to read.
    static InputProbe probe(const QString &path, const QString &config);
    // What the output should show of pictures of this size decoded from such a stream and
    // handed over in this chroma format (400, 420, 422, 444): the padding cropped (an odd size
    // rounded up to whole chroma samples where chroma is subsampled, so that no picture
    // content is hidden), the stream's rate, aspect, colour and HDR metadata.
    static OutputFacts factsFor(const StreamInfo &stream, int width, int height, bool fullRange,
                                int chromaFormat);
};

#endif // INPUTPROBE_H
