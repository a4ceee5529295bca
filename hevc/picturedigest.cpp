#include "picturedigest.h"

#include <QCryptographicHash>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

QByteArray PictureDigest::of(const AVFrame *frame)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const auto format = AVPixelFormat(frame->format);
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(format);
    if (!descriptor)
        return QByteArray();
    const int size[3] = {frame->format, frame->width, frame->height};
    hash.addData(QByteArrayView(reinterpret_cast<const char *>(size), sizeof size));
    for (int plane = 0; plane < av_pix_fmt_count_planes(format); ++plane) {
        const int rowBytes = av_image_get_linesize(format, frame->width, plane);
        const bool chroma = plane == 1 || plane == 2;
        const int rows = chroma ? -((-frame->height) >> descriptor->log2_chroma_h) : frame->height;
        for (int row = 0; row < rows && rowBytes > 0; ++row)
            hash.addData(QByteArrayView(frame->data[plane] + qsizetype(row) * frame->linesize[plane], rowBytes));
    }
    return hash.result();
}
