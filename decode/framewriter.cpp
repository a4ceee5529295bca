#include "framewriter.h"

#include "videodecoder.h"

#include <algorithm>
#include <cstring>
#include <memory>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

int bytesPerSample(int pixelFormat)
{
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(pixelFormat));
    return descriptor && descriptor->comp[0].depth > 8 ? 2 : 1;
}

// Collects rows into large blocks, so that a picture reaches the stream in a few big writes
// instead of one small write per row; a run of picture bytes at least a block long goes out
// as it is, without a copy. Counts only the bytes of writes that went through, flush
// included; after the first failure it writes nothing more.
class BlockWriter
{
public:
    BlockWriter(FILE *file, int64_t total)
        : file(file)
        , capacity(static_cast<size_t>(std::clamp<int64_t>(total, 1, int64_t(1) << 18)))
        , buffer(new uint8_t[capacity])
    {
    }

    // Appends size bytes from data, or size zero bytes when data is null.
    void append(const uint8_t *data, size_t size)
    {
        if (data && size >= capacity) {
            writeBlock();
            writeOut(data, size);
            return;
        }
        while (size > 0 && !failed) {
            const size_t part = std::min(size, capacity - used);
            if (data) {
                memcpy(buffer.get() + used, data, part);
                data += part;
            } else {
                memset(buffer.get() + used, 0, part);
            }
            used += part;
            size -= part;
            if (used == capacity)
                writeBlock();
        }
    }

    // Writes what is collected and flushes the stream; returns the bytes that got through.
    int64_t finish()
    {
        writeBlock();
        if (!failed && fflush(file) != 0)
            failed = true;
        return written;
    }

private:
    void writeBlock()
    {
        writeOut(buffer.get(), used);
        used = 0;
    }

    void writeOut(const uint8_t *data, size_t size)
    {
        if (size == 0 || failed)
            return;
        // A write larger than the stream's buffer goes out at once; the flush makes sure that
        // whatever the stream kept back has reached the file before the bytes are counted.
        if (fwrite(data, 1, size, file) != size || fflush(file) != 0)
            failed = true;
        else
            written += static_cast<int64_t>(size);
    }

    FILE *file;
    size_t capacity;
    std::unique_ptr<uint8_t[]> buffer;
    size_t used = 0;
    int64_t written = 0;
    bool failed = false;
};

// Lays pictures out in memory, for writers that are not stdio streams.
class MemoryWriter
{
public:
    explicit MemoryWriter(uint8_t *buffer) : next(buffer) {}

    void append(const uint8_t *data, size_t size)
    {
        if (data)
            memcpy(next, data, size);
        else
            memset(next, 0, size);
        next += size;
    }

private:
    uint8_t *next;
};

template <typename Writer>
void appendPlane(Writer &writer, const uint8_t *plane, int stride, int width, int height,
                 int padWidth, int padHeight)
{
    if (stride == width && padWidth == 0) {
        // The rows lie back to back in memory: one run for the whole plane.
        writer.append(plane, static_cast<size_t>(width) * static_cast<size_t>(height));
    } else {
        for (int row = 0; row < height; ++row) {
            writer.append(plane + static_cast<ptrdiff_t>(row) * stride, static_cast<size_t>(width));
            writer.append(nullptr, static_cast<size_t>(padWidth));
        }
    }
    writer.append(nullptr, static_cast<size_t>(width + padWidth) * static_cast<size_t>(padHeight));
}

// Widths go to the writer in bytes.
template <typename Writer>
void appendPicture(Writer &writer, const FrameInfo *info)
{
    const int bytes = bytesPerSample(info->pixelFormat);
    appendPlane(writer, info->planes[0], info->strides[0], info->width * bytes, info->height,
                info->lumaPadWidth * bytes, info->lumaPadHeight);
    if (info->chromaWidth + info->chromaPadWidth == 0)   // 4:0:0
        return;
    for (int plane = 1; plane <= 2; ++plane)
        appendPlane(writer, info->planes[plane], info->strides[plane], info->chromaWidth * bytes,
                    info->chromaHeight, info->chromaPadWidth * bytes, info->chromaPadHeight);
}

} // namespace

int64_t FrameWriter::byteSize(const FrameInfo &info)
{
    const int64_t luma = int64_t(info.width + info.lumaPadWidth)
                         * (info.height + info.lumaPadHeight);
    const int64_t chroma = int64_t(info.chromaWidth + info.chromaPadWidth)
                           * (info.chromaHeight + info.chromaPadHeight);
    return (luma + 2 * chroma) * bytesPerSample(info.pixelFormat);
}

int64_t FrameWriter::write(const FrameInfo &info, FILE *file)
{
    BlockWriter writer(file, byteSize(info));
    appendPicture(writer, &info);
    return writer.finish();
}

int64_t FrameWriter::pack(const FrameInfo &info, uint8_t *buffer)
{
    MemoryWriter writer(buffer);
    appendPicture(writer, &info);
    return byteSize(info);
}
