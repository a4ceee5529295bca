#ifndef RAWHEVCINPUT_H
#define RAWHEVCINPUT_H

// An HEVC elementary stream read with libavformat's raw HEVC demuxer, one access unit a
// packet, with the picture format its first sequence parameter set declares.

#include "hevcbytestream.h"

#include "bitstream/avresources.h"

#include <QList>
#include <QString>

class RawHevcInput
{
public:
    // Opens the file and reads its first access unit, which must hold a readable layer-0
    // sequence parameter set. Empty, or what is wrong with the file.
    QString open(const QString &path);
    const AVStream *stream() const { return input->streams[0]; }
    const SequenceFormat &format() const { return sequence; }
    // The first access unit, read by open.
    AVPacket *firstAccessUnit() const { return first.get(); }
    // The next access unit: av_read_frame's result.
    int read(AVPacket *packet);
    void close();

    // A byte stream of NAL units starts with a start code, after any number of zero bytes.
    static bool startsWithStartCode(const QString &path);
    // The layer-0 sequence parameter sets of one access unit; false when one is unreadable.
    static bool sequenceFormats(const char *data, qsizetype size, QList<SequenceFormat> *formats);

private:
    AvResources::InputPtr input;
    AvResources::PacketPtr first;
    SequenceFormat sequence;
};

#endif // RAWHEVCINPUT_H
