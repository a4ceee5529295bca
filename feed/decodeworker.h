#ifndef DECODEWORKER_H
#define DECODEWORKER_H

#include "picturefeed.h"

#include "decode/videodecoder.h"

#include <QString>

#include <vector>

// The decode half of a transcode, run on a worker thread: opens the input, decodes it into
// pictures of the bit depth and chroma format the encoder's configuration asks for (8-bit
// 4:2:0 when it says nothing), padded to multiples of 16, and feeds them to the encoder
// through the run's frame file.
class DecodeWorker : public PictureFeed
{
    Q_OBJECT

public:
    using PictureFeed::PictureFeed;

    void run() override;

    // Why the decoder could not open the file at path (error: what opening it returned), in
    // words that name no library: an input without a video stream (sound only, or an empty
    // file) says so.
    static QString openFailure(const QString &path, int error);

private:
    static int interrupted(void *opaque);
    bool openInput(VideoDecoder *decoder);
    void choosePictureFormat(VideoDecoder *decoder);
    void hintAtLostBits();
    bool countInput();
    bool writeFrame(const FrameInfo &frame);
    void recordPictureTime(const VideoDecoder *decoder);
    void decodeAll(VideoDecoder *decoder);
    bool openFrameSink(VideoDecoder *decoder, const FrameInfo &frame);
    bool sizeChanged(const FrameInfo &frame);

    std::vector<uint8_t> buffer;
    bool decodeError = false;
};

#endif // DECODEWORKER_H
