// Decoding speed and memory. Runs the encode job's loop (next picture, write, flush) from a
// clip into a raw file, beside the ffmpeg tool writing the same pictures as raw 4:2:0.
//
//   decode_bench compare <clip> <work folder> <pictures> [rounds]
//       prints "decode_to_raw_ratio R": our median wall time over the tool's
//       (each round's times on standard error when DECODE_BENCH_VERBOSE is set)
//   decode_bench memory <clip> <output file> <pictures>
//       prints the peak resident memory of the loop in MB (the output is left to the caller)

#include "decode/videodecoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

struct LoopResult
{
    int pictures = 0;
    int64_t bytes = 0;
    bool ok = false;
};

// The encode job's loop: every picture is written and flushed before the next is decoded.
LoopResult decodeToRaw(const char *clip, const char *output, int maxPictures)
{
    LoopResult result;
    VideoDecoder *decoder = decoderCreate();
    FILE *file = fopen(output, "wb");
    if (decoder && file && decoderOpen(decoder, clip) == 0) {
        result.ok = true;
        FrameInfo info{};
        while (result.pictures < maxPictures && decoderNextFrame(decoder, &info) >= 0) {
            const int64_t written = writeFrame(&info, file);
            result.bytes += written;
            if (written != frameByteSize(&info)) {
                result.ok = false;
                break;
            }
            ++result.pictures;
        }
    }
    if (file)
        fclose(file);
    decoderDestroy(&decoder);
    return result;
}

bool runTool(const std::vector<std::string> &arguments)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

int compare(const char *clip, const std::string &work, int pictures, int rounds)
{
    const std::string ours = work + "/decode_ours.420";
    const std::string tool = work + "/decode_tool.yuv";
    const std::vector<std::string> toolCommand{
        "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", clip,
        "-frames:v", std::to_string(pictures), "-an", "-f", "rawvideo", "-pix_fmt", "yuv420p", tool};

    std::vector<double> ourTimes, toolTimes;
    for (int round = 0; round < rounds; ++round) {
        // Each run starts with no old output to truncate and no dirty pages of the other
        // run; the order alternates so that neither always follows the other's writes.
        for (int turn = 0; turn < 2; ++turn) {
            remove(ours.c_str());
            remove(tool.c_str());
            sync();
            const Clock::time_point start = Clock::now();
            if ((turn == 0) == (round % 2 == 0)) {
                if (!runTool(toolCommand)) {
                    fprintf(stderr, "the ffmpeg tool failed on %s\n", clip);
                    return 1;
                }
                toolTimes.push_back(secondsSince(start));
                continue;
            }
            const LoopResult result = decodeToRaw(clip, ours.c_str(), pictures);
            ourTimes.push_back(secondsSince(start));
            if (!result.ok || result.pictures != pictures) {
                fprintf(stderr, "decoding %s gave %d of %d pictures\n", clip, result.pictures,
                        pictures);
                return 1;
            }
        }
        if (getenv("DECODE_BENCH_VERBOSE"))
            fprintf(stderr, "round %d: ours %.3f s, tool %.3f s\n", round + 1, ourTimes.back(),
                    toolTimes.back());
    }
    remove(ours.c_str());
    remove(tool.c_str());
    printf("decode_to_raw_ratio %.2f\n", median(ourTimes) / median(toolTimes));
    return 0;
}

int memory(const char *clip, const char *output, int pictures)
{
    const LoopResult result = decodeToRaw(clip, output, pictures);
    if (!result.ok || result.pictures != pictures) {
        fprintf(stderr, "decoding %s gave %d of %d pictures\n", clip, result.pictures, pictures);
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("%ld\n", usage.ru_maxrss / 1024);  // kilobytes on Linux
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "compare" && (argc == 5 || argc == 6))
        return compare(argv[2], argv[3], atoi(argv[4]), argc == 6 ? std::max(1, atoi(argv[5])) : 3);
    if (mode == "memory" && argc == 5)
        return memory(argv[2], argv[3], atoi(argv[4]));
    fprintf(stderr, "usage: %s compare <clip> <work folder> <pictures> [rounds]\n"
                    "       %s memory <clip> <output file> <pictures>\n", argv[0], argv[0]);
    return 2;
}
