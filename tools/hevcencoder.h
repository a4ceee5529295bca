#ifndef HEVCENCODER_H
#define HEVCENCODER_H

#include "exitcode.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class EncoderConfig;
struct x265_api;
struct x265_param;
struct x265_encoder;
struct x265_picture;

// What the library reports for one encoded picture, in coding order.
struct PictureStats
{
    int poc = 0;
    int temporalId = 0;
    char sliceLetter = 'I'; // I, P, B; lower case for pictures no other picture refers to
    double qp = 0;
    uint64_t bits = 0;      // the whole access unit as written
    double psnrY = 0;
    double psnrU = 0;
    double psnrV = 0;
};

// Encodes planar pictures of 8 to 16 bits with libx265 in constant-QP mode, through the
// library's build for the coded depth (8, 10 or 12 bits), and writes the Annex-B
// bitstream, reporting each picture as the library hands it back. Each access unit goes to the
// file in one piece as soon as it is complete, so that an encoder stopped by a signal leaves a
// bitstream of whole access units that decodes up to the last one.
class HevcEncoder
{
public:
    using PictureDone = std::function<void(const PictureStats &)>;

    explicit HevcEncoder(PictureDone pictureDone);
    ~HevcEncoder();
    HevcEncoder(const HevcEncoder &) = delete;
    HevcEncoder &operator=(const HevcEncoder &) = delete;

    // Sets the library up. A refusal carries the library's own reason, which it only logs.
    bool open(const EncoderConfig &config);
    bool openOutput(const std::string &path);
    // One picture in the input layout (Y, then U and V planes without padding; samples above
    // 8 bits in two bytes, little-endian).
    bool encode(const unsigned char *picture);
    // Drains the pictures still inside the library and closes the bitstream.
    bool finish();

    uint64_t bytesWritten() const { return written; }
    // Library version and the parameters it settled on, for the banner.
    std::string description() const;
    ExitCode errorCode() const { return error; }
    const std::string &errorText() const { return message; }

private:
    bool fail(ExitCode code, const std::string &text);
    bool openLibrary(const EncoderConfig &config);
    bool writeAll(const unsigned char *data, size_t size);
    // Returns the number of pictures handed back (0 or 1), or -1 on failure.
    int encodeOne(x265_picture *input);
    double chromaPsnr(double libraryValue) const;

    PictureDone pictureDone;
    const x265_api *api = nullptr;   // the library's build for the coded depth
    x265_param *param = nullptr;
    x265_encoder *encoder = nullptr;
    x265_picture *input = nullptr;
    int output = -1;
    std::vector<unsigned char> accessUnit;
    std::string outputPath;
    int width = 0;
    int height = 0;
    int chromaWidth = 0;
    int chromaHeight = 0;
    int sampleBytes = 1;
    int64_t nextPts = 0;
    uint64_t written = 0;
    ExitCode error = ExitSuccess;
    std::string message;
};

#endif // HEVCENCODER_H
