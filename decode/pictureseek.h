#ifndef PICTURESEEK_H
#define PICTURESEEK_H

// Positions an open decoder at a picture by its number, for a segment that starts inside the
// input: by a seek where the stream's timestamps can name pictures, else by decoding from the
// start and dropping what lies before. It drives the decoder through the module's own calls
// (decoderNextFrame, decoderOpen) and its context record.

#include <cstdint>

struct VideoDecoder;

namespace PictureSeek {

// Moves on so that the next picture delivered is picture number `index` (0 is the first);
// decoderSkipTo.
int toPicture(VideoDecoder *decoder, int64_t index);
// As toPicture, where a count of the stream's packets gave the timestamp of the picture before
// picture `index`; decoderSkipToTime.
int toPictureAfterTime(VideoDecoder *decoder, int64_t index, int64_t previousTime);

} // namespace PictureSeek

#endif // PICTURESEEK_H
