#ifndef HEVCDECODER_H
#define HEVCDECODER_H

#include "bitstream/avresources.h"
#include "bitstream/librarylog.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// libavcodec's HEVC decoder as the checks of a stream use it: one thread, so that an error
// shows at the access unit that caused it, and every error it detects made fatal. One packet
// is one access unit; each picture it gives out carries the number its packet was sent with.
// What the library says on the way is kept for the error, not logged: the decoder lives on the
// thread that made it.
class HevcDecoder
{
public:
    struct Setup
    {
        // FFmpeg's own check of MD5 picture hashes on as well.
        bool libraryHashCheck = false;
        // Pictures as coded, without the conformance window's cropping.
        bool uncropped = false;
        // Every picture buffer filled with this byte before a picture is decoded into it; -1
        // leaves them as they come.
        int filling = -1;
    };
    using Take = std::function<void(const AVFrame *picture)>;

    explicit HevcDecoder(const Setup &setup);
    HevcDecoder(const HevcDecoder &) = delete;
    HevcDecoder &operator=(const HevcDecoder &) = delete;

    // Why it could not be opened, or why the last call failed.
    const QString &error() const { return problem; }
    bool isOpen() const { return context != nullptr; }

    // Decodes one access unit: the pictures that are ready go to take. False on an error.
    bool send(const QByteArray &bytes, qint64 number, const Take &take);
    // The end of the stream: the pictures still held go to take. False on an error.
    bool flush(const Take &take);
    // Sets the error: what the library said last, else the text of this code. Returns false.
    bool fail(int status);

private:
    bool feed(const AVPacket *packet, const Take &take);
    int receive(const Take &take);
    static int filledBuffer(AVCodecContext *context, AVFrame *frame, int flags);

    QStringList said;
    LibraryLog::Scope scope;
    int filling;
    AvResources::CodecPtr context;
    AvResources::PacketPtr packet;
    AvResources::FramePtr frame;
    QString problem;
};

#endif // HEVCDECODER_H
