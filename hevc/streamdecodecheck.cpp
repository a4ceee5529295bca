#include "streamdecodecheck.h"

#include "hevccodec.h"
#include "hevcbytestream.h"
#include "hevcdecoder.h"
#include "picturedigest.h"
#include "picturehash.h"

#include "bitstream/nalunitreader.h"
#include "bitstream/seiwriter.h"

#include <QFile>
#include <QHash>

namespace {

using H = HevcByteStream;

constexpr int kUserDataUnregistered = 5;    // SEI payload type

// Whether an SEI message says that x265 wrote the stream: its user data, after a 16-byte UUID,
// names it. x265 (3.5 here) computes the CRC of a picture's chroma otherwise than the standard
// and the reference decoder do, so the CRCs of its streams are compared for luma only.
bool namesX265(const SeiWriter::Messages &messages)
{
    for (qsizetype i = 0; i < messages.types.size(); ++i)
        if (messages.types.at(i) == kUserDataUnregistered && messages.payloads.at(i).mid(16).startsWith("x265 "))
            return true;
    return false;
}

// An access unit on its way through the decoder.
struct Sent
{
    qint64 start = 0;       // of its first start code
    int number = 0;         // in decoding order, from 1
    QByteArray hash;        // the payload of its decoded picture hash message; empty without
};

// An access unit's bytes run from its first start code to the next access unit's.
constexpr qint64 kStartCode = 3;

class Check
{
public:
    explicit Check(const std::atomic_bool *stop) : stop(stop), decoder(setup()) {}

    StreamDecodeCheck::Result run(const QString &path, qint64 contentEnd);

private:
    static HevcDecoder::Setup setup()
    {
        HevcDecoder::Setup setup;
        setup.uncropped = true;   // the hash covers the whole coded picture
        // What no slice covers stays zero, as in the plain decode of the last pictures
        // (LastPictureCheck), which its last picture stands in for.
        setup.filling = 0x00;
        return setup;
    }
    bool take(const NalUnit &unit);
    bool send(qint64 end, bool last);
    void compare(const AVFrame *picture);
    bool fail(const QString &problem, bool last);

    const std::atomic_bool *stop;
    HevcDecoder decoder;
    StreamDecodeCheck::Result result;
    QHash<qint64, Sent> inDecoder;   // by number, until its picture comes out
    // The file read again, access unit by access unit, while the reader walks its NAL units.
    QFile again;
    // The access unit being read.
    bool open = false;
    Sent current;
    bool picture = false;
    int units = 0;
    int lastUnit = 0;       // the number of the stream's last access unit, once it is sent
    // The first picture in decoding order whose hash does not match, and its place in output order.
    int mismatched = 0;
    int mismatchedPlace = 0;
    qint64 mismatchedStart = 0;
    int mismatchedKind = 0;
    bool x265 = false;
};

bool Check::fail(const QString &problem, bool last)
{
    result.problem = problem;
    result.lastUnit = last;
    return false;
}

bool Check::take(const NalUnit &unit)
{
    const bool base = unit.layer == 0;
    const bool firstSlice = unit.type < H::Vps
        && H::firstSliceInPicture(unit.bytes.constData(), unit.bytes.size()).value_or(false);
    if (base && picture && (H::startsAccessUnit(unit.type) || firstSlice) && !send(unit.offset - kStartCode, false))
        return false;
    if (!open)
        current.start = unit.offset - kStartCode;
    open = true;
    if (!base)
        return true;
    if (unit.type < H::Vps)
        picture = true;
    else if (unit.type == H::SuffixSei && picture)
        HevcCodec::instance().pictureHash(unit.bytes.constData(), unit.bytes.size(), &current.hash);
    else if (unit.type == H::PrefixSei && !x265)
        x265 = namesX265(SeiWriter::messages(unit.bytes.constData(), unit.bytes.size()));
    return true;
}

bool Check::send(qint64 end, bool last)
{
    current.number = ++units;
    if (picture)
        inDecoder.insert(current.number, current);
    if (last)
        lastUnit = current.number;
    const auto take = [this](const AVFrame *decoded) { compare(decoded); };
    QByteArray bytes;
    if (again.seek(current.start))
        bytes = again.read(end - current.start);
    const bool decoded = bytes.size() == end - current.start ? decoder.send(bytes, current.number, take)
                                                             : decoder.fail(AVERROR(EIO));
    const bool flushed = decoded && (!last || decoder.flush(take));
    const Sent sent = current;
    open = false;
    current = Sent();
    picture = false;
    if (!flushed)
        return fail(QStringLiteral("its picture in the access unit from byte %1 (access unit %2) does not decode: %3")
                        .arg(sent.start).arg(sent.number).arg(decoder.error()), last);
    return true;
}

void Check::compare(const AVFrame *decoded)
{
    ++result.pictures;
    if (lastUnit > 0 && decoded->pts == lastUnit) {
        result.lastPictured = true;
        result.lastDigest = PictureDigest::of(decoded);
    }
    const Sent sent = inDecoder.take(decoded->pts);
    if (sent.hash.isEmpty())
        return;
    ++result.hashed;
    const int kind = uchar(sent.hash.at(0));
    const QByteArray computed = PictureHash::payload(decoded, kind);
    const bool lumaOnly = x265 && kind == PictureHash::Crc && computed.size() == sent.hash.size();
    const qsizetype compared = lumaOnly ? 3 : sent.hash.size();
    if (computed.left(compared) == sent.hash.left(compared) || (mismatched > 0 && mismatched < sent.number))
        return;
    mismatched = sent.number;
    mismatchedPlace = result.pictures;
    mismatchedStart = sent.start;
    mismatchedKind = kind;
}

StreamDecodeCheck::Result Check::run(const QString &path, qint64 contentEnd)
{
    QFile file(path);
    again.setFileName(path);
    if (!decoder.isOpen()) {
        fail(decoder.error(), false);
        return result;
    }
    if (!file.open(QIODevice::ReadOnly) || !again.open(QIODevice::ReadOnly)) {
        fail(file.isOpen() ? again.errorString() : file.errorString(), false);
        return result;
    }
    if (contentEnd < 0)
        contentEnd = file.size();
    // Slices are passed over: the decoder gets each access unit from the second handle.
    NalUnitReader reader(&file, HevcCodec::instance());
    NalUnit unit;
    bool going = true;
    while (going && reader.next(&unit) && unit.offset < contentEnd) {
        if (stop && *stop) {
            result.stopped = true;
            return result;
        }
        going = take(unit);
    }
    if (going && !reader.problem.isEmpty())
        going = fail(QStringLiteral("it cannot be read through: %1").arg(reader.problem), false);
    if (going && open)
        going = send(contentEnd, true);
    if (going && mismatched > 0) {
        const QString kind = PictureHash::kindName(mismatchedKind);
        fail(QStringLiteral("its picture %1 in display order (the access unit from byte %2, access unit %3) does "
                            "not match its decoded picture hash%4")
                 .arg(mismatchedPlace).arg(mismatchedStart).arg(mismatched)
                 .arg(kind.isEmpty() ? QStringLiteral(", which is of no known kind") : QStringLiteral(" (%1)").arg(kind)),
             mismatched == units);
    }
    return result;
}

} // namespace

StreamDecodeCheck::Result StreamDecodeCheck::check(const QString &path, qint64 contentEnd, const std::atomic_bool *stop)
{
    return Check(stop).run(path, contentEnd);
}
