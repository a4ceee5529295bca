#ifndef HEVCINDEX_H
#define HEVCINDEX_H

#include "bitstream/streamindex.h"

#include <QString>

#include <atomic>

// HEVC's walk over a stream for its index: slices read to their picture order count with the
// parameter sets in force, the picture order counts worked out as a decoder does (see
// PictureOrder), the picture hashes from the suffix SEI messages after each picture.
class HevcIndex
{
public:
    static StreamIndex read(const QString &path, const std::atomic_bool *stop = nullptr);
};

#endif // HEVCINDEX_H
