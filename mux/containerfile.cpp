#include "containerfile.h"

#include "fileurl.h"

#include "bitstream/avresources.h"

#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

using AvResources::errorText;

namespace {

QString syncFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    return synced ? QString() : QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

void ContainerFile::OutputDeleter::operator()(AVFormatContext *context) const
{
    avio_closep(&context->pb);
    avformat_free_context(context);
}

ContainerFile::ContainerFile(const QString &target, const ContainerFormat &format)
    : target(target), format(format)
{
}

ContainerFile::~ContainerFile()
{
    output.reset();
    if (!temporary.isEmpty())
        QFile::remove(temporary);
}

QString ContainerFile::create()
{
    QString problem;
    temporary = createHiddenSibling(target, QStringLiteral(".part"), &problem);
    if (temporary.isEmpty())
        return problem;
    AVFormatContext *context = nullptr;
    const int ret = avformat_alloc_output_context2(&context, nullptr, format.muxerName(), fileUrl(temporary).constData());
    if (ret < 0)
        return errorText(ret);
    output.reset(context);
    return QString();
}

QString ContainerFile::writeHeader()
{
    int ret = avio_open(&output->pb, fileUrl(temporary).constData(), AVIO_FLAG_WRITE);
    if (ret < 0)
        return errorText(ret);
    AVDictionary *options = nullptr;
    // The index before the media data, so that players start at once, also over a network.
    if (format.isIsoMedia())
        av_dict_set(&options, "movflags", "+faststart", 0);
    if (format.isBluRayTransport())
        av_dict_set(&options, "mpegts_m2ts_mode", "1", 0);
    ret = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    if (ret < 0)
        return writeFailure(ret);
    return QString();
}

QString ContainerFile::writeFailure(int code) const
{
    // A full disk shows as the file's own error; the muxer's code alone would say less.
    if (output && output->pb && output->pb->error < 0)
        code = output->pb->error;
    return errorText(code);
}

// What the muxer wrote of a stream it counts itself (AVStream::nb_frames), so that packets it
// refused show in the end.
QString ContainerFile::write(AVPacket *packet, AVRational from)
{
    const int stream = packet->stream_index;
    av_packet_rescale_ts(packet, from, output->streams[stream]->time_base);
    packet->pos = -1;
    if (handedBy.size() <= size_t(stream))
        handedBy.resize(size_t(stream) + 1, 0);
    ++handedBy[size_t(stream)];
    ++handedInAll;
    const int ret = av_interleaved_write_frame(output.get(), packet);
    return ret < 0 ? refused(ret) : QString();
}

// The muxer refused a packet: this one, or one it held back to interleave. An error of the file
// itself (a full disk) ends the mux; otherwise the packet is left out and the mux goes on, and
// the count of each stream's packets says at the end whose it was.
QString ContainerFile::refused(int code)
{
    if ((output->pb && output->pb->error < 0) || code == AVERROR(ENOMEM))
        return writeFailure(code);
    const QString reason = errorText(code);
    if (!refusalList.contains(reason))
        refusalList << reason;
    return QString();
}

// A packet refused on the way is left out as during the mux (the trailer, which would stop at
// it, finds none left).
QString ContainerFile::finish()
{
    int ret = 0;
    for (qint64 tries = 0; tries <= handedInAll && (ret = av_interleaved_write_frame(output.get(), nullptr)) < 0; ++tries) {
        const QString problem = refused(ret);
        if (!problem.isEmpty())
            return problem;
    }
    if (ret < 0)
        return writeFailure(ret);
    ret = av_write_trailer(output.get());
    if (ret < 0)
        return writeFailure(ret);
    if (output->pb) {
        avio_flush(output->pb);
        if (output->pb->error < 0)
            return writeFailure(output->pb->error);
    }
    return QString();
}

qint64 ContainerFile::handed(int stream) const
{
    return size_t(stream) < handedBy.size() ? handedBy[size_t(stream)] : 0;
}

qint64 ContainerFile::written(int stream) const
{
    return output->streams[stream]->nb_frames;
}

QString ContainerFile::commit()
{
    output.reset();   // closes the file
    QString problem = syncFile(temporary);
    if (problem.isEmpty() && ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(target).constData()) != 0)
        problem = QString::fromLocal8Bit(std::strerror(errno));
    if (problem.isEmpty())
        temporary.clear();
    return problem;
}

QString ContainerFile::createHiddenSibling(const QString &path, const QString &suffix, QString *problem)
{
    const QFileInfo info(path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString random = QString::number(QRandomGenerator::global()->bounded(qint64(36) * 36 * 36 * 36 * 36 * 36), 36)
                                   .rightJustified(6, QLatin1Char('0'));
        const QString candidate = QStringLiteral("%1/.%2.%3%4").arg(info.absolutePath(), info.fileName(), random, suffix);
        const int fd = ::open(QFile::encodeName(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return candidate;
        }
        if (errno != EEXIST)
            break;
    }
    *problem = QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}
