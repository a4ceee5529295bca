// The count of a video stream's pictures from its packets, against decoding the same input.
//
//   count_bench <input>
//       prints "count_seconds S", "decode_seconds S", "count_share R" (count over decode, best
//       of three counts), and "pictures N" (both ways must agree)

#include "decode/picturecount.h"
#include "decode/videodecoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: count_bench <input>\n");
        return 64;
    }
    double counting = 1e9;
    int64_t counted = 0;
    for (int round = 0; round < 3; ++round) {
        const auto start = Clock::now();
        const PictureCount count = countPictures(argv[1], nullptr, nullptr);
        counting = std::min(counting, secondsSince(start));
        if (count.error < 0) {
            std::fprintf(stderr, "count_bench: the pictures of %s cannot be counted\n", argv[1]);
            return 66;
        }
        counted = count.pictures;
    }

    const auto start = Clock::now();
    VideoDecoder *decoder = decoderCreate();
    int64_t decoded = 0;
    if (decoder && decoderOpen(decoder, argv[1]) == 0) {
        FrameInfo frame{};
        while (decoderNextFrame(decoder, &frame) >= 0)
            ++decoded;
    }
    decoderDestroy(&decoder);
    const double decoding = secondsSince(start);

    std::printf("count_seconds %.4f\ndecode_seconds %.3f\ncount_share %.4f\npictures %lld\ndecoded_pictures %lld\n",
                counting, decoding, counting / decoding, static_cast<long long>(counted),
                static_cast<long long>(decoded));
    return counted == decoded ? 0 : 1;
}
