#ifndef AVOWNERS_H
#define AVOWNERS_H

// Owners for the FFmpeg objects the decoder module makes inside a function: a unique_ptr whose
// deleter is the object's own free function, so that every path out of the function frees it.
// For the decoder's own parts only; nothing outside decode/ sees them.

#include "bitstream/avfilterlibrary.h"

#include <memory>

extern "C" {
#include <libavutil/mem.h>
}

namespace AvOwners {

// The free functions that take the address of the pointer and null it.
template <typename T, void (*Free)(T **)>
struct FreeByAddress
{
    void operator()(T *object) const { Free(&object); }
};

// Memory from av_malloc and av_strdup.
struct MemoryFree
{
    void operator()(void *memory) const { av_free(memory); }
};

using InOutPtr = std::unique_ptr<AVFilterInOut, FreeByAddress<AVFilterInOut, AvFilterLibrary::freeInOut>>;
template <typename T>
using MemoryPtr = std::unique_ptr<T, MemoryFree>;

} // namespace AvOwners

#endif // AVOWNERS_H
