#include "pictureseek.h"

#include "avowners.h"
#include "videodecoder.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace {

// The number of pictures a decoder that started at the first one has delivered before the
// picture with this timestamp, read from the stream's clock: `first` is the first picture's
// timestamp, and pictures follow each other one frame duration apart. False when the
// timestamp is missing or lies between two places of that grid.
bool picturePosition(int64_t timestamp, int64_t first, double picturesPerTick, int64_t *position)
{
    if (timestamp == AV_NOPTS_VALUE)
        return false;
    const double exact = (double(timestamp) - double(first)) * picturesPerTick;
    if (exact < -1e15 || exact > 1e15)
        return false;
    const int64_t nearest = static_cast<int64_t>(exact + (exact >= 0 ? 0.5 : -0.5));
    const double offset = exact - double(nearest);
    if (offset < -0.25 || offset > 0.25)
        return false;
    *position = nearest;
    return true;
}

// Whether picture numbers can be told from timestamps, so that a seek can stand in for
// decoding from the start: a seekable file whose container keeps real timestamps and counts
// its pictures, at a constant frame rate. Elementary streams have no timestamps of their own
// (the demuxer makes them up from an assumed rate), transport and program streams may jump,
// and a stream whose average rate differs from its base rate, or whose picture count does not
// match its duration, has pictures of changing length or gaps. Without a count (Matroska, for
// one) a gap somewhere before the target could not be seen, and every picture after it would
// be taken for a later one.
bool clockCountsPictures(const VideoDecoder *decoder, double *picturesPerTick)
{
    const AVFormatContext *format = decoder->inputContext;
    const AVStream *stream = format->streams[decoder->videoStreamIndex];
    if (decoder->pipeFd >= 0 || !format->pb || !(format->pb->seekable & AVIO_SEEKABLE_NORMAL))
        return false;
    if (format->iformat->flags & (AVFMT_NOTIMESTAMPS | AVFMT_TS_DISCONT))
        return false;
    const AVRational rate = stream->avg_frame_rate;
    const AVRational baseRate = stream->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0 || baseRate.num <= 0 || baseRate.den <= 0
        || av_cmp_q(rate, baseRate) != 0 || stream->time_base.num <= 0 || stream->time_base.den <= 0)
        return false;
    *picturesPerTick = av_q2d(stream->time_base) * av_q2d(rate);
    // With fewer than four ticks a picture, rounded timestamps cannot be placed on the grid.
    if (*picturesPerTick > 0.25)
        return false;
    if (stream->nb_frames <= 0 || stream->duration <= 0)
        return false;
    const double counted = double(stream->duration) * *picturesPerTick;
    return counted > stream->nb_frames - 0.5 && counted < stream->nb_frames + 0.5;
}

int dropPictures(VideoDecoder *decoder, int64_t count)
{
    FrameInfo dropped;
    for (int64_t picture = 0; picture < count; ++picture) {
        const int ret = decoderNextFrame(decoder, &dropped);
        if (ret < 0)
            return ret;
    }
    return 0;
}

// Opens the input afresh and decodes from its start: after a seek, the demuxer's read position
// is no longer where the first picture begins. The interrupt and the output format stay.
int dropFromStart(VideoDecoder *decoder, int64_t count)
{
    const AvOwners::MemoryPtr<char> path(av_strdup(decoder->inputContext->url));
    if (!path)
        return AVERROR(ENOMEM);
    int ret = decoderOpen(decoder, path.get());
    if (ret >= 0)
        ret = dropPictures(decoder, count);
    return ret;
}

// The outcome of seekAndDrop when the seek cannot be trusted.
const int seekUnreliable = 1;

// Seeks to the keyframe at or before the last picture to drop and decodes up to and including
// it. Each picture after the seek must lie on the grid and follow the one before it, or the
// timestamps do not count pictures after all; a seek that lands after the target is tried
// again further back. Returns 0 when positioned, AVERROR_EOF when the input ends before,
// seekUnreliable when the decode must start over, and other errors as they are.
int seekAndDrop(VideoDecoder *decoder, int64_t index, int64_t first, double picturesPerTick)
{
    AVFormatContext *format = decoder->inputContext;
    const AVStream *stream = format->streams[decoder->videoStreamIndex];
    const AVRational frameDuration = av_inv_q(stream->avg_frame_rate);
    const int64_t last = index - 1;
    const int64_t secondOfPictures =
        std::max<int64_t>(1, static_cast<int64_t>(av_q2d(stream->avg_frame_rate) + 0.5));
    int64_t aim = last;
    FrameInfo dropped;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int64_t target = first + av_rescale_q(aim, frameDuration, stream->time_base);
        if (av_seek_frame(format, decoder->videoStreamIndex, target, AVSEEK_FLAG_BACKWARD) < 0)
            return seekUnreliable;
        // Pictures held for reordering belong to the old position.
        avcodec_flush_buffers(decoder->codecContext);
        decoder->draining = false;

        int ret = decoderNextFrame(decoder, &dropped);
        if (ret == AVERROR_EXIT)
            return ret;
        int64_t position = 0;
        if (ret < 0
            || !picturePosition(decoder->frame->best_effort_timestamp, first, picturesPerTick, &position)
            || position < 0)
            return seekUnreliable;
        decoder->nextPicture = position + 1;
        if (position > last) {
            // Landed after the target (its leading pictures are not decodable from there):
            // a second further back, then two, then four, at most to the start.
            if (aim == 0)
                return seekUnreliable;
            aim = std::max<int64_t>(0, std::min(aim, position) - (secondOfPictures << attempt));
            continue;
        }
        while (position < last) {
            ret = decoderNextFrame(decoder, &dropped);
            if (ret == AVERROR_EOF || ret == AVERROR_EXIT)
                return ret;
            int64_t next = 0;
            if (ret < 0
                || !picturePosition(decoder->frame->best_effort_timestamp, first, picturesPerTick, &next)
                || next != position + 1)
                return seekUnreliable;
            position = next;
            decoder->nextPicture = position + 1;
        }
        decoder->nextPicture = position + 1;
        return 0;
    }
    return seekUnreliable;
}

// Seeks to the keyframe at or before `time` and decodes up to and including the picture shown
// at `time`. A seek that lands after it (its leading pictures cannot be decoded from there) is
// tried again further back. Returns 0 when positioned, seekUnreliable when no picture turns out
// to have exactly that timestamp, AVERROR_EXIT when stopped.
int seekToTime(VideoDecoder *decoder, int64_t time)
{
    AVFormatContext *format = decoder->inputContext;
    const AVStream *stream = format->streams[decoder->videoStreamIndex];
    // A second of pictures in the stream's time base, doubled with every attempt.
    const int64_t second = std::max<int64_t>(1, av_rescale_q(1, AVRational{1, 1}, stream->time_base));
    int64_t aim = time;
    FrameInfo dropped;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (av_seek_frame(format, decoder->videoStreamIndex, aim, AVSEEK_FLAG_BACKWARD) < 0)
            return seekUnreliable;
        avcodec_flush_buffers(decoder->codecContext);
        decoder->draining = false;
        bool first = true;
        for (;;) {
            const int ret = decoderNextFrame(decoder, &dropped);
            if (ret == AVERROR_EXIT)
                return ret;
            const int64_t shown = ret < 0 ? AV_NOPTS_VALUE : decoder->frame->best_effort_timestamp;
            // The count named this picture: an end before it means the timestamps mislead.
            if (ret < 0 || shown == AV_NOPTS_VALUE)
                return seekUnreliable;
            if (shown == time)
                return 0;
            if (shown > time) {
                if (!first)
                    return seekUnreliable;   // the picture at `time` never came
                break;
            }
            first = false;
        }
        if (aim <= INT64_MIN / 4)
            return seekUnreliable;
        aim -= second << attempt;
    }
    return seekUnreliable;
}

} // namespace

int PictureSeek::toPicture(VideoDecoder *decoder, int64_t index)
{
    if (index <= 0)
        return 0;
    double picturesPerTick = 0;
    if (!decoderIsOpen(decoder) || !clockCountsPictures(decoder, &picturesPerTick))
        return dropPictures(decoder, index);

    // The first picture anchors the grid: decoding from the start counts from it, whatever the
    // container says the stream's start time is.
    FrameInfo dropped;
    int ret = decoderNextFrame(decoder, &dropped);
    if (ret < 0 || index == 1)
        return ret < 0 ? ret : 0;
    const int64_t first = decoder->frame->best_effort_timestamp;
    const AVStream *stream = decoder->inputContext->streams[decoder->videoStreamIndex];
    const int64_t span = av_rescale_q(index - 1, av_inv_q(stream->avg_frame_rate), stream->time_base);
    // Nothing has moved yet: where the target cannot be named, decoding simply goes on.
    if (first == AV_NOPTS_VALUE || first < INT64_MIN / 4 || first > INT64_MAX / 4 || span < 0
        || span > INT64_MAX / 4)
        return dropPictures(decoder, index - 1);

    ret = seekAndDrop(decoder, index, first, picturesPerTick);
    if (ret == seekUnreliable)
        return dropFromStart(decoder, index);
    return ret;
}

int PictureSeek::toPictureAfterTime(VideoDecoder *decoder, int64_t index, int64_t previousTime)
{
    if (index <= 0)
        return 0;
    if (!decoderIsOpen(decoder) || decoder->pipeFd >= 0 || !decoder->inputContext->pb
        || !(decoder->inputContext->pb->seekable & AVIO_SEEKABLE_NORMAL))
        return toPicture(decoder, index);
    const int ret = seekToTime(decoder, previousTime);
    if (ret == seekUnreliable)
        return dropFromStart(decoder, index);
    if (ret == 0)
        decoder->nextPicture = index;
    return ret;
}
