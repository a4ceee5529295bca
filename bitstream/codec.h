#ifndef CODEC_H
#define CODEC_H

// What the program asks of a coded video stream in the byte-stream format, one implementation
// per codec (HEVC's in hevc/): the join, the checks of what an encoder wrote, the mux and the
// rewrite work on NAL units, access units and pictures through this interface and never on a
// codec's bits. Codecs::of (codecs/) recognises the codec of a stream from its first parameter
// set. Adding a codec means implementing this interface in a room of its own and naming it in
// Codecs; nothing above changes.

#include "outputfacts.h"
#include "sequenceformat.h"
#include "streamindex.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <optional>

class OutputOrder;

// The fields of a NAL unit header.
struct NalHeader
{
    int type = -1;
    int layer = 0;
    int temporalIdPlus1 = 0;
    bool forbidden = false;    // forbidden_zero_bit set: the unit is damaged
};

class Codec
{
public:
    // What a NAL unit is, as far as the code above the codec needs to know.
    enum class Kind {
        Slice,             // coded picture data
        PictureHeader,     // a picture's header in a unit of its own
        VideoSet,          // parameter sets
        SequenceSet,
        PictureSet,
        AdaptationSet,
        OtherSet,
        Delimiter,         // access unit delimiter
        PrefixSei,
        SuffixSei,
        EndOfSequence,
        EndOfBitstream,
        Filler,
        Other
    };
    static bool isParameterSet(Kind kind) { return kind >= Kind::VideoSet && kind <= Kind::OtherSet; }

    // The programs a codec that FFmpeg cannot decode is decoded with: its reference decoder
    // (the configuration's, or the one beside the encoder). Empty where the codec needs none.
    struct Tools
    {
        QString decoder;
    };

    // One access unit decoded alone: a digest of its picture's samples, or why it did not decode.
    struct Decoded
    {
        QByteArray digest;
        QString error;
    };

    // Whether every picture of a stream is whole and right.
    struct PictureCheck
    {
        enum Verdict {
            Sound,      // or nothing to check (a file that cannot be read says so elsewhere)
            Cut,        // the stream ends before its last access unit does
            Damaged,    // a picture fails its decoded picture hash or its decode
            Stopped
        };
        Verdict verdict = Sound;
        QString problem;       // what is wrong and where, naming the picture
    };

    virtual ~Codec() = default;

    // Its name for people: "HEVC".
    virtual QString name() const = 0;

    // --- NAL units
    // The size of a NAL unit header in bytes; header() reads that many.
    virtual int headerBytes() const = 0;
    virtual NalHeader header(const char *nal) const = 0;
    virtual Kind kind(int type) const = 0;
    virtual bool isIrap(int type) const = 0;
    virtual bool isIdr(int type) const = 0;
    // Whether the unit (header first, escaped) is one of this codec's parameter sets, with a
    // header no other codec here could have written: how a stream's codec is recognised.
    virtual bool recognises(const char *nal, qsizetype size) const = 0;
    // Whether a NAL unit of this type opens a new access unit when it follows a picture.
    virtual bool startsAccessUnit(int type) const = 0;
    // Whether the unit (a slice or a picture header; its first bytes may do) begins a new
    // picture; empty when the bytes given end before the codec can tell.
    virtual std::optional<bool> startsPicture(const char *nal, qsizetype size) const = 0;
    // The names of the parameter sets a stream must open with that are missing among the kinds
    // seen before its first picture ("VPS", "SPS", ...); empty when none is missing.
    virtual QStringList missingOpeningSets(const QList<Kind> &seen) const = 0;

    // --- parameter sets and SEI
    // The picture format of a sequence parameter set NAL unit of the base layer; false when it
    // is unreadable.
    virtual bool readFormat(const char *nal, qsizetype size, SequenceFormat *format) const = 0;
    // Whether an SEI NAL unit holds a decoded picture hash message, and its payload.
    virtual bool pictureHash(const char *nal, qsizetype size, QByteArray *payload = nullptr) const = 0;

    // --- a stream's pictures
    // One walk over a stream file: its access units, their pictures and picture order counts,
    // the fields that hold those counts, its parameter sets (see StreamIndex).
    virtual StreamIndex index(const QString &path, const std::atomic_bool *stop = nullptr) const = 0;
    // Where each access unit's picture comes in output order, fed access unit by access unit.
    virtual std::unique_ptr<OutputOrder> outputOrder() const = 0;
    // The change to a slice of a stream's opening random-access picture that makes its leading
    // pictures, which refer to pictures before it, skipped when the stream follows another one;
    // false when the slice needs none.
    virtual bool closingEdit(const QByteArray &slice, qint64 offset, FileEdit *edit) const = 0;

    // --- decoding
    // One access unit with the parameter sets it needs before it, decoded on its own.
    virtual Decoded decodeAlone(const QByteArray &units, const Tools &tools) const = 0;
    // Every picture of the stream file: the end whole, each picture's decoded picture hash
    // verified where it carries one, and every picture decoded without error. A stop flag,
    // when given, is looked at between pictures.
    virtual PictureCheck checkPictures(const QString &path, const Tools &tools,
                                       const std::atomic_bool *stop = nullptr) const = 0;

    // --- the output
    // Whether the parameter sets of a finished stream can be rewritten to show what the output
    // should (OutputRewriter for HEVC), and the rewrite in place.
    virtual bool rewritesOutput() const = 0;
    virtual RewriteResult rewriteOutput(const QString &path, const OutputFacts &facts) const = 0;
    // The name FFmpeg's raw demuxer and decoder of this codec go by ("hevc"); empty where this
    // FFmpeg has none, so that the stream cannot go into a container.
    virtual QByteArray libavName() const = 0;
};

#endif // CODEC_H
