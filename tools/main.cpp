// The bundled stand-in HEVC encoder: reads raw planar YUV pictures of 8 to 16 bits from a named
// pipe, standard input or a file another process may still be writing, encodes them with
// libx265 and writes an Annex-B bitstream, with the command line, configuration syntax and
// console output of the reference encoder.

#include "encoderconfig.h"
#include "encoderreport.h"
#include "exitcode.h"
#include "growingfilereader.h"
#include "hevcencoder.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <vector>

// GCC says that AddressSanitizer is on with __SANITIZE_ADDRESS__, clang with __has_feature.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORLUNEX_ADDRESS_SANITIZER
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(MORLUNEX_ADDRESS_SANITIZER)
// Sanitizer builds: the library leaks a few small blocks allocated inside x265_encoder_open
// that x265_encoder_close never releases; they are not ours to free. Slow unwinding keeps that
// frame in every such stack, so leaks of our own stay reported.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:x265_encoder_open\n";
}
extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
#endif

namespace {

int failWith(ExitCode code, const std::string &text, const char *program = nullptr)
{
    std::printf("Error: %s\n", text.c_str());
    std::fprintf(stderr, "Error: %s\n", text.c_str());
    if (program)
        std::fputs(EncoderConfig::usage(program).c_str(), stdout);
    return code;
}

// The path with its folder resolved through links, for a file that may not exist yet; empty
// when the folder cannot be resolved.
std::string resolvedPath(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char resolved[PATH_MAX];
    if (name.empty() || !::realpath(folder.c_str(), resolved))
        return std::string();
    return std::string(resolved) + (resolved[1] ? "/" : "") + name;
}

// Whether the two names lead to the same file, through symbolic and hard links alike.
bool sameFile(const std::string &first, const std::string &second)
{
    struct stat a, b;
    if (::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0)
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    const std::string resolved = resolvedPath(first);
    return !resolved.empty() && resolved == resolvedPath(second);
}

} // namespace

int main(int argc, char **argv)
{
    // The transcoder shows the output live: every line goes out as soon as it is complete.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();

    EncoderConfig config;
    if (argc < 2)
        return failWith(ExitUsage, "no arguments", argv[0]);
    if (!config.parseCommandLine(argc, argv))
        return failWith(config.errorCode(), config.errorText(),
                        config.errorCode() == ExitUsage ? argv[0] : nullptr);
    if (config.helpRequested()) {
        std::fputs(EncoderConfig::usage(argv[0]).c_str(), stdout);
        return ExitSuccess;
    }
    if (!config.checkComplete())
        return failWith(config.errorCode(), config.errorText(),
                        config.errorCode() == ExitUsage ? argv[0] : nullptr);

    // Opening the bitstream file empties it: it must not be the input, nor a configuration.
    if (config.inputFile != "-" && sameFile(config.inputFile, config.bitstreamFile))
        return failWith(ExitBitstream, "the bitstream file \"" + config.bitstreamFile
                                           + "\" is the input file \"" + config.inputFile
                                           + "\"; refusing to overwrite the input");
    for (const std::string &configFile : config.configFiles) {
        if (sameFile(configFile, config.bitstreamFile))
            return failWith(ExitBitstream, "the bitstream file \"" + config.bitstreamFile
                                               + "\" is the configuration file \"" + configFile
                                               + "\"; refusing to overwrite it");
    }

    // The library comes before the input: a refusal is reported at once, without waiting for
    // the writer of a named pipe.
    EncoderReport report(config);
    HevcEncoder encoder([&report](const PictureStats &stats) { report.picture(stats); });
    if (!encoder.open(config))
        return failWith(encoder.errorCode(), encoder.errorText());
    GrowingFileReader reader(config.quietPeriod);
    if (!reader.open(config.inputFile))
        return failWith(ExitInput, reader.errorText());
    if (!encoder.openOutput(config.bitstreamFile))
        return failWith(encoder.errorCode(), encoder.errorText());
    report.banner(encoder.description());

    std::vector<unsigned char> picture(static_cast<size_t>(config.pictureBytes()));
    GrowingFileReader::Result result = GrowingFileReader::Picture;
    for (long long skipped = 0; skipped < config.frameSkip && result == GrowingFileReader::Picture; ++skipped)
        result = reader.read(picture.data(), picture.size());
    for (long long count = 0; result == GrowingFileReader::Picture
                              && (config.framesToBeEncoded == 0 || count < config.framesToBeEncoded);
         ++count) {
        result = reader.read(picture.data(), picture.size());
        if (result == GrowingFileReader::Picture && !encoder.encode(picture.data()))
            return failWith(encoder.errorCode(), encoder.errorText());
    }
    if (result == GrowingFileReader::Failed)
        return failWith(ExitInput, reader.errorText());
    if (!encoder.finish())
        return failWith(encoder.errorCode(), encoder.errorText());

    if (reader.endedByQuietPeriod())
        std::printf("\nWarning: the input did not grow for %g s; ending there\n", config.quietPeriod);
    if (reader.leftoverBytes() > 0)
        std::printf("\nWarning: %zu bytes at the end of the input are not a whole picture and were not encoded\n",
                    reader.leftoverBytes());
    if (report.pictureCount() == 0)
        std::printf("\nWarning: the input holds no whole picture\n");

    const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    report.summary(encoder.bytesWritten(), cpuSeconds, wallSeconds);
    return ExitSuccess;
}
