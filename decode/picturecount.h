#ifndef PICTURECOUNT_H
#define PICTURECOUNT_H

#include <atomic>
#include <cstdint>
#include <vector>

// The pictures of an input's video stream (the one the decoder picks), counted from the
// demuxer's packets without decoding one, for inputs whose container does not state the
// stream's own count (Matroska, WebM, MPEG-TS, a file whose sound outlasts its video). Packets
// the demuxer marks to be discarded (cut by an edit list) hold no picture the decoder
// delivers, and are not counted.
struct PictureCount
{
    int64_t pictures = 0;
    // The pictures' timestamps in the order they are shown, in the stream's time base: a seek
    // can then find picture n. Empty where a packet has no timestamp of its own, or two share
    // one, so that timestamps cannot name pictures.
    std::vector<int64_t> times;
    int error = 0;   // a negative AVERROR code when the count failed; AVERROR_EXIT when stopped
};

// counted follows the count as it goes, for the progress (may be null); a stop ends the count
// early with AVERROR_EXIT.
PictureCount countPictures(const char *path, std::atomic<int64_t> *counted, const std::atomic_bool *stop);

#endif // PICTURECOUNT_H
