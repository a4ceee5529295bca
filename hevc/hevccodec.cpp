#include "hevccodec.h"

#include "hevcbytestream.h"
#include "hevcdecoder.h"
#include "hevcindex.h"
#include "lastpicturecheck.h"
#include "outputrewriter.h"
#include "picturedigest.h"
#include "pictureorder.h"
#include "streamdecodecheck.h"

#include "bitstream/seiwriter.h"

#include <QThread>

#include <memory>

namespace {

using H = HevcByteStream;

constexpr int kFillerData = 38;    // NAL unit type

} // namespace

const HevcCodec &HevcCodec::instance()
{
    static const HevcCodec codec;
    return codec;
}

QString HevcCodec::name() const
{
    return QStringLiteral("HEVC");
}

NalHeader HevcCodec::header(const char *nal) const
{
    NalHeader header;
    header.type = H::nalType(nal);
    header.layer = H::nalLayer(nal);
    header.temporalIdPlus1 = H::nalTemporalIdPlus1(nal);
    header.forbidden = uchar(nal[0]) & 0x80;
    return header;
}

Codec::Kind HevcCodec::kind(int type) const
{
    if (type >= 0 && type < H::Vps)
        return Kind::Slice;
    switch (type) {
    case H::Vps:
        return Kind::VideoSet;
    case H::Sps:
        return Kind::SequenceSet;
    case H::Pps:
        return Kind::PictureSet;
    case H::Aud:
        return Kind::Delimiter;
    case H::EndOfSequence:
        return Kind::EndOfSequence;
    case H::EndOfBitstream:
        return Kind::EndOfBitstream;
    case kFillerData:
        return Kind::Filler;
    case H::PrefixSei:
        return Kind::PrefixSei;
    case H::SuffixSei:
        return Kind::SuffixSei;
    }
    return Kind::Other;
}

bool HevcCodec::isIrap(int type) const
{
    return H::isIrap(type);
}

bool HevcCodec::isIdr(int type) const
{
    return H::isIdr(type);
}

bool HevcCodec::recognises(const char *nal, qsizetype size) const
{
    if (size < headerBytes())
        return false;
    const NalHeader found = header(nal);
    return !found.forbidden && found.type >= H::Vps && found.type <= H::Pps && found.temporalIdPlus1 == 1;
}

bool HevcCodec::startsAccessUnit(int type) const
{
    return H::startsAccessUnit(type);
}

std::optional<bool> HevcCodec::startsPicture(const char *nal, qsizetype size) const
{
    if (size < headerBytes())
        return std::nullopt;
    if (kind(H::nalType(nal)) != Kind::Slice)
        return false;
    return H::firstSliceInPicture(nal, size);
}

QStringList HevcCodec::missingOpeningSets(const QList<Kind> &seen) const
{
    QStringList missing;
    if (!seen.contains(Kind::VideoSet))
        missing << QStringLiteral("VPS");
    if (!seen.contains(Kind::SequenceSet))
        missing << QStringLiteral("SPS");
    if (!seen.contains(Kind::PictureSet))
        missing << QStringLiteral("PPS");
    return missing;
}

bool HevcCodec::readFormat(const char *nal, qsizetype size, SequenceFormat *format) const
{
    return H::readSequenceFormat(nal, size, format);
}

bool HevcCodec::pictureHash(const char *nal, qsizetype size, QByteArray *payload) const
{
    if (size < headerBytes() || (H::nalType(nal) != H::PrefixSei && H::nalType(nal) != H::SuffixSei))
        return false;
    const SeiWriter::Messages messages = SeiWriter::messages(nal, size);
    const qsizetype at = messages.types.indexOf(SeiWriter::DecodedPictureHash);
    if (at < 0)
        return false;
    if (payload)
        *payload = messages.payloads.at(at);
    return true;
}

StreamIndex HevcCodec::index(const QString &path, const std::atomic_bool *stop) const
{
    return HevcIndex::read(path, stop);
}

std::unique_ptr<OutputOrder> HevcCodec::outputOrder() const
{
    return std::make_unique<PictureOrder>();
}

// A CRA picture that opens a later segment becomes a BLA picture: a decoder then skips the
// leading pictures that refer to pictures before it (which belong to another segment) and
// still outputs every picture of the previous segment, as it does when the segment is decoded
// alone.
bool HevcCodec::closingEdit(const QByteArray &slice, qint64 offset, FileEdit *edit) const
{
    if (slice.size() < headerBytes() || H::nalType(slice.constData()) != H::Cra)
        return false;
    edit->at = offset;
    edit->before = slice.left(1);
    edit->after = QByteArray(1, H::firstByteWithType(slice.at(0), H::BlaWithLeading));
    return true;
}

Codec::Decoded HevcCodec::decodeAlone(const QByteArray &units, const Tools &) const
{
    Decoded decoded;
    HevcDecoder decoder{HevcDecoder::Setup()};
    const auto take = [&decoded](const AVFrame *picture) {
        if (decoded.digest.isEmpty())
            decoded.digest = PictureDigest::of(picture);
    };
    const bool sent = decoder.send(units, 0, take) && decoder.flush(take);
    if (sent && decoded.digest.isEmpty())
        decoder.fail(AVERROR_INVALIDDATA);
    if (!sent || decoded.digest.isEmpty())
        decoded.error = decoder.error();
    return decoded;
}

Codec::PictureCheck HevcCodec::checkPictures(const QString &path, const Tools &, const std::atomic_bool *stop) const
{
    const auto verdict = [stop](PictureCheck::Verdict verdict, const QString &problem) {
        PictureCheck check;
        check.verdict = stop && *stop ? PictureCheck::Stopped : verdict;
        if (check.verdict != PictureCheck::Stopped && verdict != PictureCheck::Sound)
            check.problem = problem;
        return check;
    };
    // The end first: a stream cut short is told as such, whatever its pictures.
    const LastPictureCheck end(path, stop);
    if (!end.readable())
        return verdict(PictureCheck::Sound, QString());
    const QString structure = end.structureProblem();
    if (!structure.isEmpty())
        return verdict(PictureCheck::Cut, structure);
    // A file that ends in a slice has its last picture decoded once more, with ones after the
    // end, on a thread of its own beside the decode of every picture: the two must agree.
    LastPictureCheck::Filled filled;
    std::unique_ptr<QThread> beside;
    if (end.endsInSlice()) {
        beside.reset(QThread::create([&] { filled = end.decodeFilled(); }));
        beside->start();
    }
    const StreamDecodeCheck::Result every = StreamDecodeCheck::check(path, end.contentEnd(), stop);
    if (beside)
        beside->wait();
    // Only the last access unit can be cut short: what fails there in a file that ends in a
    // slice is told by the decoding of the end below, which shows whether the end is missing.
    const bool maybeCut = every.lastUnit && end.endsInSlice();
    if (every.stopped || (!every.problem.isEmpty() && !maybeCut))
        return verdict(PictureCheck::Damaged, every.problem);
    if (every.problem.isEmpty() && filled.planned) {
        const LastPictureCheck::Verdict whole = end.filledProblem(filled, every.lastPictured, every.lastDigest);
        if (whole.problem.isEmpty())
            return verdict(PictureCheck::Sound, QString());
        return verdict(whole.cut ? PictureCheck::Cut : PictureCheck::Damaged, whole.problem);
    }
    const LastPictureCheck::Verdict tail = end.decodeProblem();
    if (!tail.problem.isEmpty())
        return verdict(tail.cut ? PictureCheck::Cut : PictureCheck::Damaged, tail.problem);
    return verdict(maybeCut ? PictureCheck::Cut : PictureCheck::Sound, every.problem);
}

RewriteResult HevcCodec::rewriteOutput(const QString &path, const OutputFacts &facts) const
{
    return OutputRewriter::rewrite(path, facts);
}
