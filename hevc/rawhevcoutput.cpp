#include "rawhevcoutput.h"

#include "bitstream/avresources.h"

#include <QSaveFile>

extern "C" {
#include <libavutil/mem.h>
}

using namespace AvResources;

namespace {

constexpr int kIoBufferSize = 1 << 16;

// The muxer writes through this into the QSaveFile, which owns the temporary file.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
int writeToSaveFile(void *opaque, const uint8_t *data, int size)
#else
int writeToSaveFile(void *opaque, uint8_t *data, int size)
#endif
{
    auto *file = static_cast<QSaveFile *>(opaque);
    // A short write is retried, so that a full disk shows up as the file's error.
    for (int done = 0; done < size;) {
        const qint64 written = file->write(reinterpret_cast<const char *>(data) + done, size - done);
        if (written <= 0)
            return AVERROR(EIO);
        done += int(written);
    }
    return size;
}

} // namespace

QString RawHevcOutput::open(QSaveFile *target, const AVCodecParameters *parameters,
                            AVRational timeBase, int codedWidth, int codedHeight)
{
    AVFormatContext *outputContext = nullptr;
    int ret = avformat_alloc_output_context2(&outputContext, nullptr, "hevc", nullptr);
    if (ret < 0)
        return errorText(ret);
    output.reset(outputContext);
    auto *buffer = static_cast<unsigned char *>(av_malloc(kIoBufferSize));
    if (!buffer)
        return errorText(AVERROR(ENOMEM));
    file = target;
    io.reset(avio_alloc_context(buffer, kIoBufferSize, 1, file, nullptr, writeToSaveFile, nullptr));
    if (!io) {
        av_free(buffer);
        return errorText(AVERROR(ENOMEM));
    }
    output->pb = io.get();
    output->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVStream *outStream = avformat_new_stream(output.get(), nullptr);
    if (!outStream)
        return errorText(AVERROR(ENOMEM));
    ret = avcodec_parameters_copy(outStream->codecpar, parameters);
    if (ret < 0)
        return errorText(ret);
    outStream->time_base = timeBase;
    // The muxer insists on a picture size, which the demuxer leaves unset without probing.
    if (outStream->codecpar->width <= 0 || outStream->codecpar->height <= 0) {
        outStream->codecpar->width = codedWidth;
        outStream->codecpar->height = codedHeight;
    }
    ret = avformat_write_header(output.get(), nullptr);
    if (ret < 0)
        return errorText(ret);
    return QString();
}

QString RawHevcOutput::write(AVPacket *packet, qint64 index)
{
    // The raw muxer writes bytes only, but the muxing layer wants rising timestamps; the raw
    // demuxer's are guesses anyway.
    packet->stream_index = 0;
    packet->pts = packet->dts = index;
    packet->duration = 1;
    const int ret = av_write_frame(output.get(), packet);
    av_packet_unref(packet);
    return ret < 0 ? problem(ret) : QString();
}

QString RawHevcOutput::finish()
{
    const int ret = av_write_trailer(output.get());
    if (ret < 0)
        return errorText(ret);
    avio_flush(io.get());
    return io->error < 0 ? problem(io->error) : QString();
}

void RawHevcOutput::close()
{
    output.reset();
    io.reset();
}

QString RawHevcOutput::problem(int code) const
{
    return file->error() != QFileDevice::NoError ? file->errorString() : errorText(code);
}
