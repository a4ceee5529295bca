#ifndef JOBOUTPUT_H
#define JOBOUTPUT_H

#include "jobtypes.h"

#include "output/outputmaker.h"

#include <optional>

struct StreamInfo;

// What a job's settings say of its output step: whether the output is a container, what the
// mux needs besides the bitstream, and the rate the report counts in.
namespace JobOutput {

bool isContainer(const JobSettings &settings);
// The codec the settings' encoder writes with their configuration (Codecs::ofEncoder), and the
// programs its streams are decoded with.
const Codec &codecOf(const JobSettings &settings);
Codec::Tools toolsOf(const JobSettings &settings);
// Why the settings' output cannot take what their encoder writes (a container for a codec this
// FFmpeg cannot put into one); empty when it can.
QString containerProblem(const JobSettings &settings);
// The pictures' times as the decodes recorded them, the span of the input they cover, and the
// input for its other streams (none for a raw input, whose pictures follow each other at the
// rate given for it). reachedEnd: the pictures run to the input's end.
MuxRequest container(const JobSettings &settings, const PictureTimes &times, bool reachedEnd);
// The rate the output is shown at: the input's, else the one typed for a raw input, else the
// configuration's.
double frameRate(const JobSettings &settings, const OutputFacts &shown);
// What the output shows of a raw input: the pictures as they are, at the rate typed.
OutputFacts rawFacts(const JobSettings &settings);
// What the output should show of pictures of this size decoded from such a stream and handed
// over in this chroma format (400, 420, 422, 444): the padding cropped (an odd size rounded up
// to whole chroma samples where chroma is subsampled, so that no picture content is hidden),
// the stream's rate, aspect, colour and HDR metadata.
OutputFacts factsFor(const StreamInfo &stream, int width, int height, bool fullRange, int chromaFormat);

} // namespace JobOutput

#endif // JOBOUTPUT_H
