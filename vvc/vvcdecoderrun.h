#ifndef VVCDECODERRUN_H
#define VVCDECODERRUN_H

#include <QByteArray>
#include <QString>

#include <atomic>

// The VVC reference decoder run on one stream file, in a private temporary folder that goes
// with it, with a bounded wait: FFmpeg here reads no VVC, so whatever is decoded is decoded by
// that program. It prints one line a picture in decoding order, with the picture's MD5 and
// "(OK)" or "(***ERROR***)" where the stream carries a decoded picture hash.
class VvcDecoderRun
{
public:
    struct Result
    {
        bool ran = false;          // the program started and ended on its own
        int exitCode = -1;
        QString error;             // why it did not run, or the first error line it printed
        int pictures = 0;          // picture lines printed
        int hashesChecked = 0;     // of those, with a hash found right
        int firstBadHash = -1;     // the picture (in decoding order, from 0) whose hash did not match
        QString firstBadLine;      // its line, as printed
        QByteArray reconDigest;    // MD5 of the decoded samples, where asked for
        bool stopped = false;
        bool sound() const { return ran && exitCode == 0 && error.isEmpty() && firstBadHash < 0; }
    };

    // Decodes the file at path with the decoder program; with recon, the decoded pictures are
    // written to a file in the private folder and their MD5 returned. The stop flag, when
    // given, is looked at every tenth of a second; the wait is bounded by the file's size.
    static Result run(const QString &decoder, const QString &path, bool recon,
                      const std::atomic_bool *stop = nullptr);
    // The same for bytes, written to a file in a private folder first.
    static Result runOn(const QString &decoder, const QByteArray &stream, bool recon);
};

#endif // VVCDECODERRUN_H
