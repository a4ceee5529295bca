#ifndef PLANARLAYOUT_H
#define PLANARLAYOUT_H

// The planar layouts pictures leave the decoder in: which source formats are kept as they are,
// which format an output depth and chroma format is made in, and where a picture's padding to
// multiples of 16 lies.

extern "C" {
#include <libavutil/pixfmt.h>
}

struct AVFrame;
struct FrameInfo;

// A planar format as it is written, with its chroma divisors (0 for a format without chroma).
// The full-range formats have the same memory layout as their limited-range twins and are
// written the same way.
struct PlanarLayout
{
    AVPixelFormat format;   // the code reported in FrameInfo
    int horizontal;
    int vertical;

    // The 8-bit formats kept as they are when no output format is set.
    static bool kept(int format, PlanarLayout *layout);
    // The planar little-endian format of this depth (8 to 16) and chroma format that
    // libswscale writes, and how many bits its samples must then be shifted down.
    static PlanarLayout output(int depth, int chromaFormat, int *shift);
    // 0 to 3 for the chroma formats 400, 420, 422 and 444; -1 for any other number.
    static int chromaIndex(int chromaFormat);
    // The format of the source as it is laid out, full-range twins taken for their limited ones.
    static int limitedTwin(int format);

    // Describes the frame's planes in this layout, each padded to a multiple of 16 luma samples.
    void describe(const AVFrame *frame, FrameInfo *info) const;
};

#endif // PLANARLAYOUT_H
