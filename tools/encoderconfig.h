#ifndef ENCODERCONFIG_H
#define ENCODERCONFIG_H

#include "exitcode.h"

#include <functional>
#include <string>
#include <vector>

// The encoder's settings, filled from configuration files in the reference encoder's
// "Key : value" syntax and from command-line switches, in the order they are given: a switch
// after -c overrides the file, a file after a switch overrides the switch. Keys are exact and
// case-sensitive. Keys this encoder does not use are accepted and ignored, so that stock
// configuration files run unchanged; keys of its own start with "Mlx", a prefix no reference
// encoder uses, and a misspelt one of those is refused.
class EncoderConfig
{
public:
    // Applies argv[1..] in order. False on failure: see errorCode() and errorText().
    bool parseCommandLine(int argc, char **argv);
    bool readFile(const std::string &path);
    // Sets one key; origin names where the value came from, for error messages, and a bad
    // value fails with onError.
    bool set(const std::string &key, const std::string &value, const std::string &origin,
             ExitCode onError = ExitConfiguration);
    // Checks what must be known before encoding (input, bitstream, picture size).
    bool checkComplete();

    ExitCode errorCode() const { return error; }
    const std::string &errorText() const { return message; }
    bool helpRequested() const { return help; }
    static std::string usage(const char *program);

    // Bytes of one picture in the input file: samples above 8 bits take two bytes.
    long long pictureBytes() const;
    int sampleBytes() const { return inputBitDepth > 8 ? 2 : 1; }
    // The depths that apply when the file leaves a key at 0 or out, as in the reference
    // encoder: the internal one follows MSBExtendedBitDepth, which follows the input; the output
    // one follows the internal one.
    int codingBitDepth() const
    {
        return internalBitDepth ? internalBitDepth : extendedBitDepth ? extendedBitDepth : inputBitDepth;
    }
    int outputDepth() const { return outputBitDepth ? outputBitDepth : codingBitDepth(); }
    long long chromaWidth() const;
    long long chromaHeight() const;

    std::string inputFile;
    std::string bitstreamFile;
    std::vector<std::string> configFiles;
    int width = 0;
    int height = 0;
    double frameRate = 25.0;
    long long framesToBeEncoded = 0; // 0: as many as the input holds
    long long frameSkip = 0;
    int qp = 32;
    int intraPeriod = -1; // -1: only the first picture is intra
    int inputBitDepth = 8;
    int extendedBitDepth = 0;      // MSBExtendedBitDepth; 0: as the input
    int internalBitDepth = 0;      // 0: as MSBExtendedBitDepth
    int outputBitDepth = 0;        // 0: as coded; the depth of a reconstruction, which is not written
    int inputBitDepthChroma = 0;   // 0: as luma; this encoder codes one depth for all planes
    int internalBitDepthChroma = 0;
    int chromaFormat = 420;
    int codedChromaFormat = 0;     // ChromaFormatIDC; 0: as the input
    std::string preset = "medium";
    double quietPeriod = 10.0; // seconds without growth after which a waiting read gives up
    std::string x265Params;    // "name=value:name=value", handed to the library as they stand

private:
    bool fail(ExitCode code, const std::string &text);
    bool checkCodable();
    bool setChromaFormat(const std::string &key, const std::string &value,
                         const std::function<bool(const std::string &)> &bad);
    bool setPreset(const std::string &value, const std::function<bool(const std::string &)> &bad);

    ExitCode error = ExitSuccess;
    std::string message;
    bool help = false;
};

#endif // ENCODERCONFIG_H
