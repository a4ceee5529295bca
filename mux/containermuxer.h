#ifndef CONTAINERMUXER_H
#define CONTAINERMUXER_H

// Puts an encoded HEVC stream into an MP4, QuickTime, Matroska or MPEG-TS file (by the output's
// suffix), with the input's sound, subtitles, chapters and metadata: each picture at the time
// the input showed it, every other stream where the input had it. Streams the container cannot
// carry are converted (audio to AAC, text subtitles to the container's text format) or left out,
// each with a note. One packet that cannot be written costs only itself (a subtitle event that
// ends before it starts shows for no time, or is left out), and a track of which no packet is
// written is left out, each with a note; the video track states the input's picture rate. Works
// from plain values only, so that it serves a whole job and the join of segments alike.

#include "containerformat.h"
#include "picturetimes.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

struct AVPacket;
struct AVStream;
class CarriedStreams;
class ContainerFile;
class EncodedStream;
class VideoTimeline;

struct MuxRequest
{
    QString bitstream;        // the HEVC elementary stream (byte-stream format), in decoding order
    QString input;            // sound, subtitles, chapters and metadata come from here; empty: none
    // When the pictures are shown, in display order; picture k of the stream in display order
    // gets times.times[k]. With no times, picture k is shown at k units of the time base (a
    // constant rate, as for a raw input).
    PictureTimes pictures;
    // The span of the input the output covers, in the pictures' time base: from the first
    // picture's time to the end of the last. Where it is cut, the input's other streams are cut
    // there too; an end that is not cut carries what the input has before or after.
    qint64 spanStart = 0, spanEnd = 0;
    bool cutStart = false, cutEnd = false;
    QString output;
};

struct MuxResult
{
    bool ok = false;
    bool stopped = false;     // stopped on request; nothing was written
    QStringList notes;        // what FFmpeg's libraries said, then a line for each stream converted
                              // or left out, each packet that could not be written, and the like
    QString summary;          // "Muxed into holiday.mp4: HEVC 1920x1080 25 fps, audio AAC ..."
    QString error;            // one line naming the output and the reason
};

class ContainerMuxer
{
public:
    // Writes the output through a temporary file beside it, which replaces it only once
    // complete and on the disk. On failure, or when *stop becomes true, nothing is left
    // behind and an existing output stays as it was.
    static MuxResult mux(const MuxRequest &request, const std::atomic_bool *stop = nullptr);
    // Creates an empty file beside path, hidden, named after it with a random part and the
    // suffix (e.g. ".holiday.mp4.k3x9q2.265"), with the permissions a new file gets; returns
    // its path, or an empty string with *problem set.
    static QString createHiddenSibling(const QString &path, const QString &suffix, QString *problem);

private:
    // One mux wires its parts: the encoded stream and its timeline, read once; then, in each
    // pass, what of the input goes along and the file it goes into.
    ContainerMuxer(const MuxRequest &request, const std::atomic_bool *stop);
    ~ContainerMuxer();
    ContainerMuxer(const ContainerMuxer &) = delete;
    ContainerMuxer &operator=(const ContainerMuxer &) = delete;

    MuxResult run();
    QString writeOutput();
    bool stopRequested() const { return stop && stop->load(); }
    QString scanBitstream();
    QString planTimes();
    QString openInput();
    QString chooseRate();
    QString createOutput();
    QString addVideoStream();
    QString writeStreams();
    QString nextVideoPacket(AVPacket *packet, bool *done);
    QString finishOutput();
    QString summary() const;

    const MuxRequest &request;
    const std::atomic_bool *stop;
    const ContainerFormat format;
    MuxResult result;
    std::unique_ptr<EncodedStream> encoded;
    std::unique_ptr<VideoTimeline> timeline;
    // Input streams that an earlier pass wrote no packet of, with the note that says so: a
    // container that would keep them as empty tracks is written once more without them.
    QHash<int, QString> emptyStreams;
    std::unique_ptr<CarriedStreams> carried;
    std::unique_ptr<ContainerFile> file;
    AVStream *videoOut = nullptr;
    qint64 origin = 0;                 // the input's time that becomes the output's zero
};

#endif // CONTAINERMUXER_H
