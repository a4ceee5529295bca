#ifndef CONTAINERFORMAT_H
#define CONTAINERFORMAT_H

// The container an output name asks for, by its suffix, and what that container does with each
// kind of stream an input may bring along.

#include <QString>

struct AVCodecParameters;

class ContainerFormat
{
public:
    enum Kind {
        Bitstream,      // no container: the encoder's HEVC stream as it is
        Mp4,            // .mp4, .m4v
        QuickTime,      // .mov
        Matroska,       // .mkv
        TransportStream // .ts, .m2ts
    };
    // What becomes of a stream of the input in this container.
    enum Treatment {
        Copy,           // packets copied unchanged
        ToAac,          // decoded and encoded again as AAC
        ToText,         // text subtitles converted to the container's text format
        LeaveOut
    };

    static ContainerFormat forPath(const QString &path);

    Kind kind() const { return which; }
    bool isContainer() const { return which != Bitstream; }
    // The libavformat muxer's name, e.g. "mp4".
    const char *muxerName() const;
    // For people, e.g. "MP4".
    QString name() const;
    bool isBluRayTransport() const { return blueRay; }
    // MP4 and QuickTime carry HEVC with its parameter sets in the sample description ('hvc1').
    bool isIsoMedia() const { return which == Mp4 || which == QuickTime; }
    bool hasChapters() const { return which != TransportStream && which != Bitstream; }
    // Whether a subtitle event can be written to show for no time: Matroska has no duration of
    // zero (its muxer writes none, and players show such an event until the next).
    bool holdsZeroLengthSubtitles() const { return which != Matroska; }

    Treatment treatment(const AVCodecParameters *parameters) const;
    // The text subtitle codec of this container (an AVCodecID); 0 when it has none.
    int textSubtitleCodec() const;

private:
    Kind which = Bitstream;
    bool blueRay = false;
};

#endif // CONTAINERFORMAT_H
