#ifndef RAWFEED_H
#define RAWFEED_H

#include "picturefeed.h"

#include <QString>

#include <vector>

class EncoderConfigFile;

// The pictures of a raw .yuv input, from the run's first picture on, read from the file at that
// picture's byte offset and fed to the encoder through the run's own frame file as they are:
// exactly the bytes the encoder would have read from the file itself, at the geometry the raw
// input has. Nothing is copied to disk on the way.
class RawFeed : public PictureFeed
{
    Q_OBJECT

public:
    using PictureFeed::PictureFeed;

    void run() override;

    // How a raw file of this size divides into pictures, as the configuration has the encoder
    // read them: InputBitDepth (one byte a sample up to 8 bits, two above) and
    // InputChromaFormat (400, 420, 422, 444).
    struct Layout
    {
        qint64 pictureBytes = 0;
        qint64 pictures = 0;
        qint64 leftover = 0;     // bytes after the last whole picture
        int depth = 8;
        int chroma = 420;
    };
    static Layout layout(int width, int height, const EncoderConfigFile &config, qint64 fileSize);
    // The line that tells of a file that is not a whole number of pictures; leftOut: the job
    // hands over the whole pictures only (the encoder reads a file by its path itself).
    static QString leftoverText(const QString &path, const Layout &layout, bool leftOut);
    // The pictures' rate: the one given for the input, else the configuration's, else 25.
    static int frameRate(const JobSettings &settings, const EncoderConfigFile &config);

private:
    bool feed(int fd, const Layout &layout);

    std::vector<uint8_t> buffer;
};

#endif // RAWFEED_H
