#ifndef STREAMDECODECHECK_H
#define STREAMDECODECHECK_H

#include <QByteArray>
#include <QString>

#include <atomic>

// Every picture of an HEVC stream file decoded from its start with libavcodec, every error the
// decoder detects made fatal, and each picture that carries a decoded picture hash (a suffix
// SEI message after its slices) compared with the hash of its decoded samples (see
// PictureHash): MD5, CRC and checksum alike. A picture without a hash must decode without
// error; damage that neither a hash nor the decoder sees cannot be found this way.
class StreamDecodeCheck
{
public:
    struct Result
    {
        QString problem;        // which picture fails its hash or its decode, and where; empty when none
        bool lastUnit = false;  // the problem lies in the stream's last access unit
        bool stopped = false;
        int pictures = 0;       // pictures that came out of the decoder
        int hashed = 0;         // of them, those whose hash was compared
        bool lastPictured = false;  // the last access unit's picture came out
        QByteArray lastDigest;  // of its samples (PictureDigest), uncropped, in a buffer filled with zeros
    };

    // The stream is read up to contentEnd (the zero bytes after it belong to no access unit;
    // -1: the file's end). A stop flag, when given, is looked at between access units.
    static Result check(const QString &path, qint64 contentEnd = -1, const std::atomic_bool *stop = nullptr);
};

#endif // STREAMDECODECHECK_H
