#ifndef SUBTITLECONVERTER_H
#define SUBTITLECONVERTER_H

// Turns text subtitles that a container cannot carry into its own text format (MP4 timed text,
// SubRip for Matroska): each packet is decoded into styled text lines and encoded again. A
// packet keeps its time and how long it shows.

#include "bitstream/avresources.h"

#include <QString>

#include <vector>

class SubtitleConverter
{
public:
    // For a stream with these parameters whose packets count in timeBase, into the codec
    // target (an AVCodecID).
    bool open(const AVCodecParameters *input, AVRational timeBase, int target);
    const AVCodecContext *encoder() const { return encoding.get(); }
    // Converts one packet into out, timed in the input's time base; *produced is false for a
    // packet that shows nothing. False on failure (problem says why).
    bool convert(const AVPacket *packet, AVPacket *out, bool *produced);

    QString problem;

private:
    AvResources::CodecPtr decoding;
    AvResources::CodecPtr encoding;
    AVRational packetTimeBase{1, 1};
    std::vector<uint8_t> buffer;
};

#endif // SUBTITLECONVERTER_H
