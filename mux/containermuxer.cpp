#include "containermuxer.h"

#include "carriedstreams.h"
#include "containerfile.h"
#include "encodedstream.h"
#include "outputspan.h"
#include "streammetadata.h"
#include "videotimeline.h"

#include "bitstream/avresources.h"
#include "bitstream/librarylog.h"

#include <QDir>
#include <QFileInfo>

using namespace AvResources;

MuxResult ContainerMuxer::mux(const MuxRequest &request, const std::atomic_bool *stop)
{
    return ContainerMuxer(request, stop).run();
}

QString ContainerMuxer::createHiddenSibling(const QString &path, const QString &suffix, QString *problem)
{
    return ContainerFile::createHiddenSibling(path, suffix, problem);
}

ContainerMuxer::ContainerMuxer(const MuxRequest &request, const std::atomic_bool *stop)
    : request(request), stop(stop), format(ContainerFormat::forPath(request.output)),
      encoded(std::make_unique<EncodedStream>(request.bitstream)), timeline(std::make_unique<VideoTimeline>())
{
}

ContainerMuxer::~ContainerMuxer() = default;

MuxResult ContainerMuxer::run()
{
    // What FFmpeg's libraries say on the way comes first among the notes, each line once; the
    // muxer's complaint that an audio track's frame size is not set is left out: without it, MP4
    // and QuickTime take each packet's own duration, as they would with it.
    QStringList libraryLines;
    const LibraryLog::Scope scope([&libraryLines](const QString &line) {
        if (!line.contains(QLatin1String("codec frame size is not set")))
            libraryLines << line;
    });
    QString problem = writeOutput();
    result.stopped = problem.isEmpty() && stopRequested();
    if (problem.isEmpty() && !result.stopped) {
        carried->noteWhatWasLost(*file);
        result.summary = summary();
        problem = file->commit();
    }
    file.reset();   // removes an output that was not put in place
    result.notes = libraryLines + result.notes;
    if (!problem.isEmpty()) {
        result.summary.clear();
        result.error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(request.output), problem);
        return result;
    }
    result.ok = !result.stopped;
    return result;
}

QString ContainerMuxer::writeOutput()
{
    QString problem;
    if (!format.isContainer())
        problem = QStringLiteral("%1 names no container (.mp4, .m4v, .mov, .mkv, .ts, .m2ts)")
                      .arg(QFileInfo(request.output).fileName());
    // Each step runs only when the ones before succeeded and no stop was asked for.
    const auto step = [&](QString (ContainerMuxer::*action)()) {
        if (problem.isEmpty() && !stopRequested())
            problem = (this->*action)();
    };
    step(&ContainerMuxer::scanBitstream);
    step(&ContainerMuxer::planTimes);
    const QStringList planned = result.notes;
    for (;;) {
        file = std::make_unique<ContainerFile>(request.output, format);
        carried = std::make_unique<CarriedStreams>(request.input, format, emptyStreams, &result.notes);
        if (!request.input.isEmpty())
            step(&ContainerMuxer::openInput);
        step(&ContainerMuxer::chooseRate);
        step(&ContainerMuxer::createOutput);
        step(&ContainerMuxer::writeStreams);
        if (!problem.isEmpty() || stopRequested())
            break;
        // A track that got no packet would be in the file all the same (Matroska lists it, an
        // MPEG-TS program names it, MP4 closes a timed-text track with an empty sample), or not
        // (MP4 leaves out other empty tracks): either way it is not what the input meant. The
        // file is written once more without it, which a track of the input without a packet in
        // the span is worth.
        const QHash<int, QString> empty = carried->emptyTracks(*file);
        if (empty.isEmpty())
            break;
        emptyStreams.insert(empty);
        result.notes = planned;
    }
    return problem;
}

QString ContainerMuxer::scanBitstream()
{
    return encoded->scan(stop);
}

QString ContainerMuxer::planTimes()
{
    return timeline->plan(encoded->order(), request.pictures, request.spanEnd, &result.notes);
}

QString ContainerMuxer::openInput()
{
    const QString problem = carried->open();
    if (!problem.isEmpty())
        return problem;
    OutputSpan span;
    span.base = timeline->base();
    span.cutStart = request.cutStart;
    span.cutEnd = request.cutEnd || timeline->endsEarly();
    span.start = request.spanStart == AV_NOPTS_VALUE ? timeline->first() : qMin<qint64>(request.spanStart, timeline->first());
    span.end = timeline->end();
    // Where the input is not cut, the output starts with the earliest of what it carries, so
    // that every stream keeps its offset from the others.
    span.origin = span.cutStart ? span.start : qMin(timeline->first(), carried->earliestStart(span.base));
    origin = span.origin;
    carried->place(span);
    return QString();
}

QString ContainerMuxer::chooseRate()
{
    QList<AVRational> stated;
    if (const AVStream *video = carried->video())
        stated << video->r_frame_rate << video->avg_frame_rate;
    timeline->chooseRate(stated);
    return QString();
}

QString ContainerMuxer::createOutput()
{
    QString problem = file->create();
    if (problem.isEmpty())
        problem = addVideoStream();
    if (problem.isEmpty())
        problem = carried->addTo(file->context());
    return problem.isEmpty() ? file->writeHeader() : problem;
}

QString ContainerMuxer::addVideoStream()
{
    const AVCodecParameters *video = encoded->parameters();
    videoOut = avformat_new_stream(file->context(), nullptr);
    if (!videoOut)
        return errorText(AVERROR(ENOMEM));
    const int ret = avcodec_parameters_copy(videoOut->codecpar, video);
    if (ret < 0)
        return errorText(ret);
    // 'hvc1' says that the sample description holds every parameter set, which every player
    // accepts; a stream whose parameter sets change keeps them in its samples ('hev1').
    videoOut->codecpar->codec_tag = 0;
    if (format.isIsoMedia())
        videoOut->codecpar->codec_tag = encoded->parameterSetsChange() ? MKTAG('h', 'e', 'v', '1') : MKTAG('h', 'v', 'c', '1');
    videoOut->time_base = timeline->base();
    videoOut->sample_aspect_ratio = video->sample_aspect_ratio;
    // Matroska states it as the track's default duration, which players and probes read.
    if (timeline->rate().num > 0)
        videoOut->avg_frame_rate = videoOut->r_frame_rate = timeline->rate();
    videoOut->disposition = AV_DISPOSITION_DEFAULT;
    if (const AVStream *source = carried->video()) {
        StreamMetadata::copyToTrack(&videoOut->metadata, source->metadata, format);
        StreamMetadata::copyDisplayMatrix(source, videoOut);
    }
    return QString();
}

// The second pass over the encoded stream and the one pass over the input, in step, so that
// the muxer holds few packets back whatever the length.
QString ContainerMuxer::writeStreams()
{
    QString problem = encoded->rewind();
    PacketPtr videoPacket(av_packet_alloc()), inputPacket(av_packet_alloc());
    if (problem.isEmpty() && (!videoPacket || !inputPacket))
        problem = errorText(AVERROR(ENOMEM));
    bool videoReady = false, videoDone = false, inputReady = false, inputDone = !carried->isOpen();
    while (problem.isEmpty() && !stopRequested()) {
        if (!videoReady && !videoDone) {
            problem = nextVideoPacket(videoPacket.get(), &videoDone);
            videoReady = !videoDone;
        }
        if (problem.isEmpty() && !inputReady && !inputDone) {
            problem = carried->next(inputPacket.get(), &inputDone);
            inputReady = !inputDone;
        }
        if (!problem.isEmpty() || (!videoReady && !inputReady))
            break;
        bool videoFirst = videoReady;
        if (videoReady && inputReady) {
            const int64_t inputTime = inputPacket->dts != AV_NOPTS_VALUE ? inputPacket->dts : inputPacket->pts;
            videoFirst = inputTime == AV_NOPTS_VALUE
                         || av_compare_ts(videoPacket->dts, timeline->base(), inputTime, carried->timeBase(inputPacket.get())) <= 0;
        }
        if (videoFirst) {
            problem = file->write(videoPacket.get(), timeline->base());
            videoReady = false;
        } else {
            problem = carried->write(inputPacket.get(), *file);
            av_packet_unref(inputPacket.get());
            inputReady = false;
        }
    }
    if (problem.isEmpty() && !stopRequested())
        problem = carried->flush(*file);
    if (problem.isEmpty() && !stopRequested())
        problem = finishOutput();
    return problem;
}

QString ContainerMuxer::nextVideoPacket(AVPacket *packet, bool *done)
{
    EncodedStream::Picture picture;
    const bool withoutParameterSets = format.isIsoMedia() && !encoded->parameterSetsChange();
    const QString problem = encoded->next(packet, withoutParameterSets, &picture, done);
    if (problem.isEmpty() && !*done) {
        packet->stream_index = videoOut->index;
        timeline->stamp(packet, picture.place, picture.decoded, origin);
    }
    return problem;
}

// A picture that the muxer did not write fails the mux, as the output would not be the encoded
// stream.
QString ContainerMuxer::finishOutput()
{
    const QString problem = file->finish();
    if (!problem.isEmpty())
        return problem;
    const qint64 handed = file->handed(videoOut->index), written = file->written(videoOut->index);
    if (written < handed)
        return QStringLiteral("%1 of the %2 pictures could not be written (%3)")
            .arg(handed - written).arg(handed).arg(file->refusals());
    return QString();
}

// "Muxed into holiday.mp4: HEVC 1920x1080 29.97 fps (variable), audio AAC 48 kHz stereo (eng),
// 2 subtitle tracks, 12 chapters"
QString ContainerMuxer::summary() const
{
    const AVCodecParameters *video = encoded->parameters();
    QString picture = QStringLiteral("%1 %2x%3").arg(encoded->codec().name()).arg(video->width).arg(video->height);
    const QString rate = timeline->rateText();
    if (!rate.isEmpty())
        picture += QLatin1Char(' ') + rate;
    const QStringList parts = QStringList{picture} + carried->summary();
    return QStringLiteral("Muxed into %1: %2").arg(QFileInfo(request.output).fileName(), parts.join(QStringLiteral(", ")));
}
