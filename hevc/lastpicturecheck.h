#ifndef LASTPICTURECHECK_H
#define LASTPICTURECHECK_H

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>

// Whether an HEVC byte stream file ends with a whole access unit. A stream cut short (a copy
// that stopped half way, a full disk) still opens like any other, and a decoder given it alone
// mostly outputs a last picture without a word: FFmpeg reads zeros past the end of a slice and
// goes on decoding. So the check looks at the end itself:
// - the file must not end in a start code, a NAL unit header, or an access unit that has no
//   slice yet; a last SEI, end-of-sequence or filler unit must hold exactly what it declares;
// - a picture hash SEI that the picture before the last one carries must follow the last one;
// - the pictures from the last random-access picture on are decoded twice, with FFmpeg's error
//   detection set to fail (and its check of picture hashes on): once as they are, once with
//   bytes of all ones after the end of the file and picture buffers filled differently. The
//   last picture must decode without error and come out the same both times (where every
//   picture of the file is decoded anyway, that decode stands for the first): a slice cut
//   short makes the decoder read past the end (what it finds there shows in the picture), and
//   slices missing at the end leave part of the picture undecoded (the buffer's filling shows).
// What no decoding shows: a cut that takes away only the last one or two bytes of a last slice
// that carry nothing but the closing bits of its arithmetic code (the end-of-slice flag's
// flush and the stop bit); the picture decodes to the very same samples. Only a record of the
// size, or a picture hash SEI after the slice, catches those.
class LastPictureCheck
{
public:
    // Reads the end of the file backwards until its last random-access picture. A stop flag,
    // when given, is looked at between pieces read and pictures decoded.
    explicit LastPictureCheck(const QString &path, const std::atomic_bool *stop = nullptr);
    ~LastPictureCheck();
    LastPictureCheck(const LastPictureCheck &) = delete;
    LastPictureCheck &operator=(const LastPictureCheck &) = delete;

    // False when there is nothing to check: a file that cannot be read or holds no NAL unit
    // (its reader says why), or a check that was stopped.
    bool readable() const;
    // Where the file's content ends: the zero bytes after its last NAL unit belong to none.
    qint64 contentEnd() const;
    // Whether the file's last NAL unit is a slice of the base layer: a cut there hides from
    // what the NAL units tell, and shows only when the last picture is decoded.
    bool endsInSlice() const;
    // What the NAL units at the end tell of a cut: empty when they end as a stream does.
    QString structureProblem() const;

    // The last pictures decoded: empty when the last picture decodes whole (or when no decoder
    // shows it: it leads the first random-access picture read, or the check was stopped).
    struct Verdict
    {
        QString problem;
        bool cut = false;     // the end is missing; else a picture before the end is damaged
    };
    Verdict decodeProblem() const;

    // One decode of the last pictures, up to the file's last access unit.
    struct Decoded
    {
        QString error;                // why it stopped; empty when every unit decoded
        qint64 failedAt = -1;         // the access unit where it did
        bool pictured = false;        // the last access unit's picture came out
        QByteArray digest;            // of that picture's samples
    };

    // For a file that ends in a slice and whose pictures were all decoded with the whole stream
    // (StreamDecodeCheck, which gives the last one's digest, uncropped, in buffers filled with
    // zeros): the second of decodeProblem()'s two decodes alone, uncropped, with ones after the
    // end in buffers filled with ones; the first is the whole stream's. It may run on another
    // thread beside that decode. Not planned: nothing to decode (a file that does not end in
    // a slice, or no random-access picture to start from).
    struct Filled
    {
        bool planned = false;
        qint64 start = -1;            // of the last access unit
        Decoded decoded;
    };
    Filled decodeFilled() const;
    // decodeProblem()'s verdict, from the filled decode and the last picture of the whole
    // stream's decode: whether it came out, and its digest.
    Verdict filledProblem(const Filled &filled, bool pictured, const QByteArray &digest) const;

private:
    struct End;
    std::unique_ptr<End> at;
};

#endif // LASTPICTURECHECK_H
