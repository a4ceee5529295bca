#ifndef CARRIEDSTREAMS_H
#define CARRIEDSTREAMS_H

// The streams of the input that go along with the encoded video: sound (converted to AAC where
// the container cannot carry it), subtitles (text converted to the container's own format),
// attachments, the chapters and the file's metadata, each within the output's span and moved
// with the pictures. What the container cannot carry, what falls outside the span and packets
// whose durations cannot be right are left out or mended, each with a note.

#include "audioconverter.h"
#include "containerformat.h"
#include "outputspan.h"
#include "subtitleconverter.h"

#include "bitstream/avresources.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class ContainerFile;

class CarriedStreams
{
public:
    // leftOut: streams of the input (by index) that do not go along, each with the note that
    // says why (a track an earlier pass wrote no packet of). Notes go to *notes.
    CarriedStreams(const QString &input, const ContainerFormat &format, const QHash<int, QString> &leftOut,
                   QStringList *notes);
    ~CarriedStreams();
    CarriedStreams(const CarriedStreams &) = delete;
    CarriedStreams &operator=(const CarriedStreams &) = delete;

    // Reads the input and chooses what of it goes along; empty on success, else why not.
    QString open();
    bool isOpen() const { return bool(input); }
    // The input's video stream, the one the pictures came from; nullptr when there is none.
    const AVStream *video() const;
    // The earliest start of the streams that go along, in base; INT64_MAX when none states one.
    qint64 earliestStart(AVRational base) const;
    // Where the streams and chapters are cut, and what becomes the output's zero.
    void place(const OutputSpan &span);
    // The output's streams, and the file's metadata and chapters, before its header.
    QString addTo(AVFormatContext *output);

    // The next packet of the streams that go along, within the span and timed from the output's
    // zero, in its input stream's time base; *done at the end.
    QString next(AVPacket *packet, bool *done);
    AVRational timeBase(const AVPacket *packet) const;
    // Writes a packet that next() gave, converted where it must be.
    QString write(AVPacket *packet, ContainerFile &file);
    // Writes what the converters still hold.
    QString flush(ContainerFile &file);

    // The streams of which no packet was written, by input index, each with the note that says why.
    QHash<int, QString> emptyTracks(const ContainerFile &file) const;
    // Notes on what the output lacks of what was meant to go in: packets the muxer refused, and
    // more events of a stream whose durations could not be right than were named one by one.
    void noteWhatWasLost(const ContainerFile &file);
    // "audio AAC 48 kHz stereo (eng)", "2 subtitle tracks", "1 attachment", "12 chapters"
    QStringList summary() const;

private:
    // One stream of the input that goes into the output.
    struct Carried
    {
        AVStream *in = nullptr;
        AVStream *out = nullptr;
        ContainerFormat::Treatment treatment = ContainerFormat::Copy;
        std::unique_ptr<AudioConverter> audio;
        std::unique_ptr<SubtitleConverter> text;
        bool textual = false;        // text subtitles, which may be clipped at the span's start
        int64_t origin = 0;          // in the input stream's time base, as the span below
        int64_t spanStart = INT64_MIN, spanEnd = INT64_MAX;
        int frameSize = 0;           // samples a packet holds, where the input does not say it
        int oddDurations = 0;        // packets whose duration cannot be right
    };
    enum class InSpan { Yes, No, Beyond };
    enum class OddDuration { Fine, Zeroed, LeftOut };

    QString plan(AVStream *stream);
    void findFrameSizes();
    QString addStream(Carried &stream, AVFormatContext *output);
    void addChapters(AVFormatContext *output);
    InSpan clipToSpan(const Carried &stream, AVPacket *packet) const;
    OddDuration checkDuration(Carried &stream, AVPacket *packet);
    QString convertAudio(Carried &stream, const AVPacket *packet, ContainerFile &file);
    bool written(const Carried &stream) const;
    QString emptyTrackNote(const Carried &stream, const ContainerFile &file) const;

    const QString path;
    const ContainerFormat format;
    const QHash<int, QString> leftOut;
    QStringList *notes;

    AvResources::InputPtr input;
    int inputVideo = -1;
    std::vector<Carried> carried;
    std::vector<int> carriedIndex;     // by input stream: index into carried, or -1
    OutputSpan span;
    int carriedChapters = 0;
};

#endif // CARRIEDSTREAMS_H
