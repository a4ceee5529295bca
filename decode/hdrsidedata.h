#ifndef HDRSIDEDATA_H
#define HDRSIDEDATA_H

// The static HDR metadata (mastering display, content light level) read from FFmpeg's side
// data, of the whole stream or of one picture, in the units of the SEI messages that carry it
// in HEVC. Each fills in only what *hdr lacks, so that the first place to state a part wins.

struct AVFrame;
struct AVStream;
struct HdrMetadata;

namespace HdrSideData {

// What the container keeps for the whole stream.
void takeFromStream(const AVStream *stream, HdrMetadata *hdr);
// What a decoded picture carries (an input whose container says nothing may carry it in the
// pictures' own SEI messages).
void takeFromPicture(const AVFrame *frame, HdrMetadata *hdr);

} // namespace HdrSideData

#endif // HDRSIDEDATA_H
