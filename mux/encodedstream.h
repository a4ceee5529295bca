#ifndef ENCODEDSTREAM_H
#define ENCODEDSTREAM_H

// The encoder's stream as the output's video, read twice: once through, for the pictures'
// order, the parameter sets that go into the container's sample description (and whether later
// access units bring others) and what the container says of the video; then picture by picture
// as the output is written. Its codec, recognised from its content, reads its NAL units; FFmpeg
// demuxes and decodes it by the codec's name.

#include "bitstream/avresources.h"
#include "bitstream/codec.h"
#include "bitstream/outputorder.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>

class EncodedStream
{
public:
    explicit EncodedStream(const QString &path);
    ~EncodedStream();
    EncodedStream(const EncodedStream &) = delete;
    EncodedStream &operator=(const EncodedStream &) = delete;

    const Codec &codec() const { return streamCodec; }
    // The first pass; empty when it went through or *stop became true, else why not.
    QString scan(const std::atomic_bool *stop);
    const OutputOrder &order() const { return *pictureOrder; }
    // Size, aspect ratio, colours and profile, as the first access unit decodes, with its
    // parameter sets as the codec's extradata.
    const AVCodecParameters *parameters() const { return video; }
    bool parameterSetsChange() const { return changing; }

    // A shown picture of the second pass: its place in output order, and how many shown
    // pictures came before it in decoding order.
    struct Picture
    {
        int place = 0;
        int decoded = 0;
    };
    // Starts the second pass.
    QString rewind();
    // The next shown picture in decoding order, marked a key frame where it is a random-access
    // point; *done at the end. withoutParameterSets: the picture's samples leave them out, as
    // the container's sample description holds them.
    QString next(AVPacket *packet, bool withoutParameterSets, Picture *picture, bool *done);

private:
    QString open(AvResources::InputPtr *stream) const;
    QString readVideoParameters(const AVPacket *first);
    QString changedWhileMuxed() const;

    const QString path;
    const Codec &streamCodec;
    const std::unique_ptr<OutputOrder> pictureOrder;
    QList<QByteArray> parameterSets;   // of the first access unit, in order
    bool changing = false;             // later access units bring other ones
    AVCodecParameters *video = nullptr;

    AvResources::InputPtr reading;     // the second pass
    int unit = 0, decoded = 0;         // access units read, shown pictures among them
};

#endif // ENCODEDSTREAM_H
