#ifndef PICTURECONVERTER_H
#define PICTURECONVERTER_H

// Converts a decoded picture into a planar layout of another depth or chroma format with
// libswscale, bringing full-range pictures to the limited range the output means.

struct AVFrame;
struct PlanarLayout;
struct SwsContext;

namespace PictureConverter {

// Converts source into *converted (same size, the layout's format, then shifted down by
// `shift` bits). *converted and *cachedScaler are made on first use and kept for the next
// picture (remade when the picture changes); the caller frees them. Returns 0 or an AVERROR
// code.
int convert(const AVFrame *source, const PlanarLayout &layout, int shift, AVFrame **converted,
            SwsContext **cachedScaler);

} // namespace PictureConverter

#endif // PICTURECONVERTER_H
