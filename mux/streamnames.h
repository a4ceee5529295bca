#ifndef STREAMNAMES_H
#define STREAMNAMES_H

// How the mux's log lines name a stream and a moment of it, for people: "AAC", "timecode",
// "Audio stream 2 (PCM, deu)", "AAC 48 kHz stereo (eng)", "0:01:02.250".

#include <QString>

extern "C" {
#include <libavutil/rational.h>
}

struct AVCodecParameters;
struct AVStream;

class StreamNames
{
public:
    // The codec by its common name ("AAC", "SubRip", "PCM"); where the stream has none that
    // FFmpeg knows, what its tag says ("timecode" for QuickTime's 'tmcd', else "tag 'gpmd'").
    static QString codec(const AVCodecParameters *parameters);
    static QString codec(int codecId);
    // "Audio stream 2 (PCM, deu)", "Data stream 1 (timecode 01:00:00:00, eng)"
    static QString inputStream(const AVStream *stream);
    // "AAC 48 kHz stereo (eng)": audio as written, in the language of the input's stream.
    static QString audio(const AVCodecParameters *parameters, const AVStream *input);
    // The stream's language, empty when it has none or an undetermined one.
    static QString language(const AVStream *stream);
    // A moment as h:mm:ss.mmm, e.g. "0:00:01.000"; negative ones with a minus sign.
    static QString time(int64_t timestamp, AVRational timeBase);
    // "1 chapter", "2 chapters"
    static QString countOf(qint64 count, const char *one, const char *many);
};

#endif // STREAMNAMES_H
