#ifndef AUDIOCONVERTER_H
#define AUDIOCONVERTER_H

// Turns an audio stream that a container cannot carry into AAC: decodes its packets, brings the
// samples to a format, rate and channel layout the AAC encoder takes, and encodes them in
// frames of the encoder's size. Timestamps carry over, so the sound stays where it was.

#include "bitstream/avresources.h"

#include <QString>

#include <functional>

class AudioConverter
{
public:
    // For a stream with these parameters whose packets count in timeBase. globalHeader: the
    // container wants the codec's setup in its header rather than in every packet.
    bool open(const AVCodecParameters *input, AVRational timeBase, bool globalHeader);
    // The encoder, for the output stream's parameters; its time base is that of the packets.
    const AVCodecContext *encoder() const { return encoding.get(); }
    // Hands one packet over (nullptr at the end, which drains everything); each finished AAC
    // packet goes to deliver, which returns false to stop. False on failure (problem says why).
    bool convert(const AVPacket *packet, const std::function<bool(AVPacket *)> &deliver);

    QString problem;

private:
    bool fail(const QString &what, int code);
    bool buildGraph(const AVFrame *frame);
    bool filterAndEncode(AVFrame *frame, const std::function<bool(AVPacket *)> &deliver);
    bool drainEncoder(const std::function<bool(AVPacket *)> &deliver);

    AvResources::CodecPtr decoding;
    AvResources::CodecPtr encoding;
    const AvFilterLibrary::Calls *filters = nullptr;
    AvResources::GraphPtr graph;
    AVFilterContext *source = nullptr;
    AVFilterContext *sink = nullptr;
    AvResources::FramePtr decoded{av_frame_alloc()};
    AvResources::FramePtr filtered{av_frame_alloc()};
    AvResources::PacketPtr encoded{av_packet_alloc()};
    AVRational packetTimeBase{1, 1};
    int64_t nextPts = AV_NOPTS_VALUE;   // where the next decoded samples belong, when they do not say
};

#endif // AUDIOCONVERTER_H
