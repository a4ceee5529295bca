#ifndef RAWHEVCOUTPUT_H
#define RAWHEVCOUTPUT_H

// An HEVC elementary stream written with libavformat's raw HEVC muxer through a QSaveFile,
// which owns the temporary file and puts it in place only when told to.

#include <QString>

#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
}

class QSaveFile;

class RawHevcOutput
{
public:
    // Sets the muxer up for a stream of these parameters and writes its header. A stream
    // whose parameters leave the picture size unset is given the coded size. Empty, or what
    // went wrong.
    QString open(QSaveFile *file, const AVCodecParameters *parameters, AVRational timeBase,
                 int codedWidth, int codedHeight);
    // Writes one access unit, the picture number `index` of the stream, and unreferences it.
    QString write(AVPacket *packet, qint64 index);
    // Writes the trailer and flushes everything into the file.
    QString finish();
    // Lets go of the file: nothing writes into it afterwards.
    void close();

private:
    // The file's own error where it has one, else the FFmpeg code's text.
    QString problem(int code) const;

    struct OutputDeleter
    {
        void operator()(AVFormatContext *context) const { avformat_free_context(context); }
    };
    struct IoDeleter
    {
        void operator()(AVIOContext *io) const
        {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    };

    QSaveFile *file = nullptr;
    std::unique_ptr<AVIOContext, IoDeleter> io;     // outlives the muxer that writes through it
    std::unique_ptr<AVFormatContext, OutputDeleter> output;
};

#endif // RAWHEVCOUTPUT_H
