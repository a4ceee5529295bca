#ifndef FRAMEWRITER_H
#define FRAMEWRITER_H

// Lays a picture out as the encoder reads it: its planes one after the other, each row
// followed by its padding and each plane by its padding rows, padding as zero samples; above
// 8 bits two bytes a sample, as the planes hold them.

#include <cstdint>
#include <cstdio>

struct FrameInfo;

namespace FrameWriter {

// The number of bytes the picture takes.
int64_t byteSize(const FrameInfo &info);
// Writes the picture to the stream in a few large writes and flushes it; returns the bytes
// known to have reached the stream (fewer than byteSize when a write failed).
int64_t write(const FrameInfo &info, FILE *file);
// Lays the picture out in buffer (byteSize bytes); returns the number of bytes laid out.
int64_t pack(const FrameInfo &info, uint8_t *buffer);

} // namespace FrameWriter

#endif // FRAMEWRITER_H
