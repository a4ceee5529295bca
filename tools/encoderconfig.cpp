#include "encoderconfig.h"

#include <x265.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <type_traits>

namespace {

const char *const blanks = " \t\r\n\f\v";

std::string trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A word starting with '#' begins a trailing comment; the value is what stands before it.
std::string withoutComment(const std::string &text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '#' && (i == 0 || std::strchr(blanks, text[i - 1])))
            return trimmed(text.substr(0, i));
    }
    return trimmed(text);
}

bool parseInteger(const std::string &text, long long &value)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    value = parsed;
    return true;
}

bool parseReal(const std::string &text, double &value)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

// Single-dash switches of the reference encoder and the keys they stand for.
struct Switch
{
    const char *name;
    const char *key;
};
const Switch switches[] = {
    {"i", "InputFile"},         {"b", "BitstreamFile"}, {"wdt", "SourceWidth"},
    {"hgt", "SourceHeight"},    {"f", "FramesToBeEncoded"}, {"fr", "FrameRate"},
    {"q", "QP"},                {"fs", "FrameSkip"},    {"ip", "IntraPeriod"},
};

const char *const ownPrefix = "Mlx";

} // namespace

bool EncoderConfig::fail(ExitCode code, const std::string &text)
{
    error = code;
    message = text;
    return false;
}

bool EncoderConfig::parseCommandLine(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help") {
            help = true;
            return true;
        }
        if (argument.rfind("--", 0) == 0) {
            // --Key=value sets any configuration key, as the reference encoder allows.
            const size_t equals = argument.find('=');
            if (equals == std::string::npos || equals == 2)
                return fail(ExitUsage, "malformed switch \"" + argument + "\" (expected --Key=value)");
            if (!set(argument.substr(2, equals - 2), argument.substr(equals + 1),
                     "switch " + argument.substr(0, equals), ExitUsage))
                return false;
            continue;
        }
        if (argument.size() < 2 || argument[0] != '-')
            return fail(ExitUsage, "unexpected argument \"" + argument + "\"");
        const std::string name = argument.substr(1);
        const char *key = nullptr;
        for (const Switch &known : switches) {
            if (name == known.name)
                key = known.key;
        }
        if (!key && name != "c")
            return fail(ExitUsage, "unknown switch \"" + argument + "\"");
        if (i + 1 >= argc)
            return fail(ExitUsage, "switch " + argument + " needs a value");
        const std::string value = argv[++i];
        if (name == "c") {
            if (!readFile(value))
                return false;
        } else if (!set(key, value, "switch " + argument, ExitUsage)) {
            return false;
        }
    }
    return true;
}

bool EncoderConfig::readFile(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        return fail(ExitConfiguration, "cannot open configuration file \"" + path + "\": "
                                           + std::strerror(errno));
    configFiles.push_back(path);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string where = path + ":" + std::to_string(number);
        const std::string text = trimmed(line);
        if (text.empty() || text[0] == '#')
            continue;
        const size_t colon = text.find(':');
        const std::string key = colon == std::string::npos ? std::string() : trimmed(text.substr(0, colon));
        if (key.empty() || key.find_first_of(blanks) != std::string::npos)
            return fail(ExitConfiguration, "malformed line " + where + ": \"" + text
                                               + "\" (expected Key : value)");
        if (!set(key, withoutComment(text.substr(colon + 1)), where, ExitConfiguration))
            return false;
    }
    if (in.bad())
        return fail(ExitConfiguration, "cannot read configuration file \"" + path + "\"");
    return true;
}

namespace {

// The keys whose value is a whole number in a fixed range, and where each goes.
struct IntegerKey {
    const char *key;
    int EncoderConfig::*target;
    int low;
    int high;
};

const IntegerKey integerKeys[] = {
    {"SourceWidth", &EncoderConfig::width, 1, 16384},
    {"SourceHeight", &EncoderConfig::height, 1, 16384},
    {"QP", &EncoderConfig::qp, 0, 51},
    {"InputBitDepth", &EncoderConfig::inputBitDepth, 8, 16},
    {"MSBExtendedBitDepth", &EncoderConfig::extendedBitDepth, 0, 16},
    {"InternalBitDepth", &EncoderConfig::internalBitDepth, 0, 16},
    {"OutputBitDepth", &EncoderConfig::outputBitDepth, 0, 16},
    {"InputBitDepthC", &EncoderConfig::inputBitDepthChroma, 0, 16},
    {"InternalBitDepthC", &EncoderConfig::internalBitDepthChroma, 0, 16},
};

} // namespace

bool EncoderConfig::set(const std::string &key, const std::string &value,
                        const std::string &origin, ExitCode onError)
{
    const auto bad = [&](const std::string &expected) {
        return fail(onError, "bad value \"" + value + "\" for " + key + " (" + origin
                                 + "): expected " + expected);
    };
    const auto integer = [&](auto &target, long long low, long long high) {
        long long parsed = 0;
        if (!parseInteger(value, parsed) || parsed < low || parsed > high)
            return bad("an integer from " + std::to_string(low) + " to " + std::to_string(high));
        target = static_cast<std::remove_reference_t<decltype(target)>>(parsed);
        return true;
    };
    const long long unlimited = 1LL << 40;

    for (const IntegerKey &entry : integerKeys) {
        if (key == entry.key)
            return integer(this->*entry.target, entry.low, entry.high);
    }
    if (key == "InputFile") {
        inputFile = value;
    } else if (key == "BitstreamFile") {
        bitstreamFile = value;
    } else if (key == "FrameRate") {
        double rate = 0;
        if (!parseReal(value, rate) || rate <= 0 || rate > 1000)
            return bad("a picture rate above 0 and up to 1000");
        frameRate = rate;
    } else if (key == "FramesToBeEncoded") {
        return integer(framesToBeEncoded, 1, unlimited);
    } else if (key == "FrameSkip") {
        return integer(frameSkip, 0, unlimited);
    } else if (key == "IntraPeriod") {
        long long period = 0;
        if (!parseInteger(value, period) || period == 0 || period < -1 || period > 100000)
            return bad("-1 (only the first picture) or a period from 1 to 100000");
        intraPeriod = static_cast<int>(period);
    } else if (key == "InputChromaFormat" || key == "ChromaFormatIDC") {
        return setChromaFormat(key, value, bad);
    } else if (key == "MlxPreset") {
        return setPreset(value, bad);
    } else if (key == "MlxQuietPeriod") {
        double seconds = 0;
        if (!parseReal(value, seconds) || seconds <= 0 || seconds > 86400)
            return bad("seconds above 0 and up to 86400");
        quietPeriod = seconds;
    } else if (key == "MlxX265Params") {
        x265Params = value;
    } else if (key.rfind(ownPrefix, 0) == 0) {
        return fail(onError, "unknown parameter " + key + " (" + origin + ")");
    }
    // Every other key belongs to the reference encoder and is ignored here.
    return true;
}

// InputChromaFormat is the input's chroma format; ChromaFormatIDC the coded one, 0 for as the
// input.
bool EncoderConfig::setChromaFormat(const std::string &key, const std::string &value,
                                    const std::function<bool(const std::string &)> &bad)
{
    long long format = 0;
    const bool coded = key == "ChromaFormatIDC";
    if (!parseInteger(value, format)
        || (format != 400 && format != 420 && format != 422 && format != 444 && !(coded && format == 0)))
        return bad(coded ? "0 (as the input), 400, 420, 422 or 444" : "400, 420, 422 or 444");
    (coded ? codedChromaFormat : chromaFormat) = static_cast<int>(format);
    return true;
}

bool EncoderConfig::setPreset(const std::string &value, const std::function<bool(const std::string &)> &bad)
{
    std::string names;
    for (int i = 0; x265_preset_names[i]; ++i) {
        if (value == x265_preset_names[i]) {
            preset = value;
            return true;
        }
        names += std::string(i ? ", " : "") + x265_preset_names[i];
    }
    return bad("one of " + names);
}

bool EncoderConfig::checkComplete()
{
    if (inputFile.empty())
        return fail(ExitUsage, "no input file given (-i or InputFile)");
    if (bitstreamFile.empty())
        return fail(ExitUsage, "no bitstream file given (-b or BitstreamFile)");
    if (width <= 0 || height <= 0)
        return fail(ExitUsage, "no picture size given (-wdt and -hgt, or SourceWidth and SourceHeight)");
    if (!checkCodable())
        return false;
    if ((chromaFormat == 420 || chromaFormat == 422) && width % 2 != 0)
        return fail(ExitConfiguration, "the picture width must be even for 4:2:0 and 4:2:2 input");
    if (chromaFormat == 420 && height % 2 != 0)
        return fail(ExitConfiguration, "the picture height must be even for 4:2:0 input");
    return true;
}

// The library codes 8, 10 or 12 bits, one depth for all planes, in the input's chroma format.
bool EncoderConfig::checkCodable()
{
    const int coding = codingBitDepth();
    if (coding != 8 && coding != 10 && coding != 12)
        return fail(ExitConfiguration,
                    "cannot code " + std::to_string(coding) + "-bit samples (InternalBitDepth, else "
                        "MSBExtendedBitDepth, else InputBitDepth): the encoding library codes 8, 10 or 12 bits");
    if (inputBitDepthChroma != 0 && inputBitDepthChroma != inputBitDepth)
        return fail(ExitConfiguration, "InputBitDepthC " + std::to_string(inputBitDepthChroma)
                                           + " differs from InputBitDepth " + std::to_string(inputBitDepth)
                                           + ": this encoder reads one depth for all planes");
    if (internalBitDepthChroma != 0 && internalBitDepthChroma != coding)
        return fail(ExitConfiguration, "InternalBitDepthC " + std::to_string(internalBitDepthChroma)
                                           + " differs from the coded depth " + std::to_string(coding)
                                           + ": the encoding library codes one depth for all planes");
    if (codedChromaFormat != 0 && codedChromaFormat != chromaFormat)
        return fail(ExitConfiguration, "ChromaFormatIDC " + std::to_string(codedChromaFormat)
                                           + " differs from InputChromaFormat " + std::to_string(chromaFormat)
                                           + ": this encoder codes the input's chroma format");
    return true;
}

long long EncoderConfig::chromaWidth() const
{
    if (chromaFormat == 400)
        return 0;
    return chromaFormat == 444 ? width : width / 2;
}

long long EncoderConfig::chromaHeight() const
{
    if (chromaFormat == 400)
        return 0;
    return chromaFormat == 420 ? height / 2 : height;
}

long long EncoderConfig::pictureBytes() const
{
    return (static_cast<long long>(width) * height + 2 * chromaWidth() * chromaHeight()) * sampleBytes();
}

std::string EncoderConfig::usage(const char *program)
{
    return std::string("Usage: ") + program
           + " -c CFG -i RAW -b BITSTREAM -wdt WIDTH -hgt HEIGHT [switches]\n"
             "  -c CFG        configuration file (Key : value lines); may be repeated\n"
             "  -i RAW        raw planar YUV input (InputFile): a file, a named pipe, or -\n"
             "                for standard input; InputBitDepth 8 to 16 (above 8, two bytes a\n"
             "                sample, little-endian) and InputChromaFormat say its layout\n"
             "  -b BITSTREAM  HEVC Annex-B output (BitstreamFile)\n"
             "  -wdt W        picture width in luma samples (SourceWidth)\n"
             "  -hgt H        picture height in luma samples (SourceHeight)\n"
             "  -f N          at most N pictures (FramesToBeEncoded)\n"
             "  -fr RATE      picture rate (FrameRate, default 25)\n"
             "  -q QP         quantisation parameter 0..51 (QP, default 32)\n"
             "  -fs N         skip N pictures at the start (FrameSkip)\n"
             "  -ip N         intra period, -1 = only the first picture (IntraPeriod)\n"
             "  --Key=value   any configuration key, e.g. --MlxPreset=ultrafast\n"
             "Switches are applied in order: a switch after -c overrides the file.\n"
             "Own keys: MlxPreset (speed preset, default medium), MlxQuietPeriod (seconds\n"
             "without input growth before giving up, default 10), MlxX265Params\n"
             "(name=value:name=value library parameters).\n";
}
