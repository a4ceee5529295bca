#include "vvccodec.h"

#include "vvcdecoderrun.h"
#include "vvcnalunit.h"
#include "vvcparametersets.h"
#include "vvcpictureheader.h"
#include "vvcsei.h"
#include "vvcstreamindex.h"

#include "bitstream/outputorder.h"

#include <QFile>

namespace {

using N = VvcNalUnit;

// A VVC stream never goes into a container here (this FFmpeg has no VVC muxer), so nothing
// asks for its output order; where something does, it is told why not.
class NoOutputOrder : public OutputOrder
{
public:
    bool addAccessUnit(const char *, qsizetype) override
    {
        problem = QStringLiteral("a VVC stream cannot be put into a container here");
        return false;
    }
    bool finish() override { return false; }
    int units() const override { return 0; }
    int shown() const override { return 0; }
    Kind kind(int) const override { return NoPicture; }
    bool isRandomAccess(int) const override { return false; }
    int outputPlace(int) const override { return -1; }
};

// Where the k-th picture in decoding order (from 0) starts; -1 past the last.
qint64 pictureStart(const VvcStreamIndex *index, int k)
{
    if (!index)
        return -1;
    for (const VvcStreamIndex::AccessUnit &unit : index->units)
        if (unit.picture && k-- == 0)
            return unit.start;
    return -1;
}

// Where the decoder stopped or a hash failed, naming the picture in decoding order.
QString decodeProblem(const VvcDecoderRun::Result &run, const VvcStreamIndex *index = nullptr)
{
    const auto where = [index](int k) {
        const qint64 start = pictureStart(index, k);
        return start < 0 ? QString() : QStringLiteral(", the access unit from byte %1").arg(start);
    };
    if (run.firstBadHash >= 0)
        return QStringLiteral("its picture %1 in decoding order (order count %2%3) does not match its decoded "
                              "picture hash (%4)")
            .arg(run.firstBadHash + 1)
            .arg(run.firstBadLine.section(QLatin1Char(' '), 1, 1, QString::SectionSkipEmpty), where(run.firstBadHash),
                 run.firstBadLine.contains(QLatin1String("[MD5:")) ? QStringLiteral("MD5")
                 : run.firstBadLine.contains(QLatin1String("[CRC:")) ? QStringLiteral("CRC")
                                                                     : QStringLiteral("checksum"));
    if (!run.ran)
        return run.error;
    return QStringLiteral("the VVC decoder fails at its picture %1 in decoding order%2 (exit code %3%4)")
        .arg(run.pictures + 1).arg(where(run.pictures)).arg(run.exitCode)
        .arg(run.error.isEmpty() ? QString() : QStringLiteral(": ") + run.error);
}

} // namespace

const VvcCodec &VvcCodec::instance()
{
    static const VvcCodec codec;
    return codec;
}

QString VvcCodec::name() const
{
    return QStringLiteral("VVC");
}

NalHeader VvcCodec::header(const char *nal) const
{
    NalHeader header;
    header.type = N::type(nal);
    header.layer = N::layer(nal);
    header.temporalIdPlus1 = N::temporalId(nal) + 1;
    header.forbidden = N::damaged(nal);
    return header;
}

Codec::Kind VvcCodec::kind(int type) const
{
    if (N::isSlice(type))
        return Kind::Slice;
    switch (type) {
    case N::Opi:
    case N::Dci:
        return Kind::OtherSet;
    case N::Vps:
        return Kind::VideoSet;
    case N::Sps:
        return Kind::SequenceSet;
    case N::Pps:
        return Kind::PictureSet;
    case N::PrefixAps:
        return Kind::AdaptationSet;
    case N::PictureHeader:
        return Kind::PictureHeader;
    case N::Aud:
        return Kind::Delimiter;
    case N::EndOfSequence:
        return Kind::EndOfSequence;
    case N::EndOfBitstream:
        return Kind::EndOfBitstream;
    case N::PrefixSei:
        return Kind::PrefixSei;
    case N::SuffixSei:
        return Kind::SuffixSei;
    case N::FillerData:
        return Kind::Filler;
    }
    // A suffix APS follows its picture's slices; it is kept with them like a suffix SEI.
    return Kind::Other;
}

bool VvcCodec::isIrap(int type) const
{
    return N::isIrap(type);
}

bool VvcCodec::isIdr(int type) const
{
    return N::isIdr(type);
}

// An HEVC parameter set sets the bit VVC reserves; a VVC SPS or PPS read as HEVC is a slice.
bool VvcCodec::recognises(const char *nal, qsizetype size) const
{
    if (size < headerBytes() + 1 || N::damaged(nal))
        return false;
    const int type = N::type(nal);
    return (type == N::Dci || type == N::Vps || type == N::Sps || type == N::Pps) && N::temporalId(nal) == 0
        && N::layer(nal) == 0;
}

bool VvcCodec::startsAccessUnit(int type) const
{
    return N::startsAccessUnit(type);
}

// A picture starts with its picture header: a PH NAL unit, or the slice that carries it (a
// picture then has one slice).
std::optional<bool> VvcCodec::startsPicture(const char *nal, qsizetype size) const
{
    if (size < headerBytes())
        return std::nullopt;
    const int type = N::type(nal);
    if (type == N::PictureHeader)
        return true;
    if (!N::isSlice(type))
        return false;
    if (size < headerBytes() + 1)
        return std::nullopt;
    return VvcPictureHeader::inSlice(nal, size);
}

// A VPS is optional in VVC (a single-layer stream names none).
QStringList VvcCodec::missingOpeningSets(const QList<Kind> &seen) const
{
    QStringList missing;
    if (!seen.contains(Kind::SequenceSet))
        missing << QStringLiteral("SPS");
    if (!seen.contains(Kind::PictureSet))
        missing << QStringLiteral("PPS");
    return missing;
}

bool VvcCodec::readFormat(const char *nal, qsizetype size, SequenceFormat *format) const
{
    VvcParameterSets::Sequence sequence;
    if (size < headerBytes() || N::type(nal) != N::Sps || !VvcParameterSets::readSequence(nal, size, &sequence))
        return false;
    const VvcPictureFormat &picture = sequence.format;
    SequenceFormat read;
    read.codedWidth = picture.codedWidth;
    read.codedHeight = picture.codedHeight;
    read.chromaFormat = picture.chromaFormat;
    read.bitDepthLuma = read.bitDepthChroma = picture.bitDepth;
    read.cropLeft = picture.cropLeft;
    read.cropRight = picture.cropRight;
    read.cropTop = picture.cropTop;
    read.cropBottom = picture.cropBottom;
    read.id = sequence.id;
    read.log2MaxPocLsb = sequence.log2MaxPocLsb;
    *format = read;
    return true;
}

bool VvcCodec::pictureHash(const char *nal, qsizetype size, QByteArray *payload) const
{
    if (size < headerBytes() || (N::type(nal) != N::PrefixSei && N::type(nal) != N::SuffixSei))
        return false;
    const QByteArray found = VvcSei::pictureHashPayload(nal, size);
    if (found.isEmpty())
        return false;
    if (payload)
        *payload = found;
    return true;
}

// The stream's own index in the terms every codec shares. The order count fields are those of
// its first coded video sequence, which a join renumbers.
StreamIndex VvcCodec::index(const QString &path, const std::atomic_bool *stop) const
{
    const VvcStreamIndex read = VvcStreamIndex::read(path, stop);
    StreamIndex index;
    index.problem = read.problem;
    if (index.problem.isEmpty() && read.interLayer)
        index.problem = QStringLiteral("its pictures may refer to other layers, which are not followed here");
    for (const VvcStreamIndex::AccessUnit &unit : read.units) {
        StreamIndex::Unit shared;
        shared.start = unit.start;
        shared.end = unit.end;
        shared.setsAt = unit.afterDelimiter;
        shared.picture = unit.picture;
        shared.nalType = unit.nalType;
        shared.irap = unit.irap();
        shared.shown = unit.shown;
        shared.pictureOrderCount = unit.pictureOrderCount;
        shared.codedSequence = unit.codedSequence;
        shared.hash = unit.hash;
        shared.sets = unit.setsBefore;
        index.units << shared;
    }
    for (const VvcStreamIndex::OrderField &field : read.orderFields) {
        if (read.units.at(field.unit).codedSequence != 0)
            continue;
        StreamIndex::OrderField shared;
        shared.offset = field.offset;
        shared.head = field.head;
        shared.whole = field.whole;
        shared.bitAt = field.bitAt;
        shared.bits = field.bits;
        shared.unit = field.unit;
        index.orderFields << shared;
    }
    for (auto set = read.finalSets.constBegin(); set != read.finalSets.constEnd(); ++set)
        index.finalSets.insert(set.key(), set.value());
    for (const VvcStreamIndex::SetUnit &set : read.openingSets)
        index.openingSets.append({set.key, set.bytes});
    index.longTermPictures = read.longTermPictures;
    index.endsSequence = read.endsSequence;
    index.size = read.size;
    return index;
}

std::unique_ptr<OutputOrder> VvcCodec::outputOrder() const
{
    return std::make_unique<NoOutputOrder>();
}

// The encoder opens every stream with an IDR picture, which needs no change to follow another
// stream. A stream that opens with a CRA picture has no edit here: VVC has no BLA type, and
// only an end of sequence before it would make it start anew.
bool VvcCodec::closingEdit(const QByteArray &, qint64, FileEdit *) const
{
    return false;
}

Codec::Decoded VvcCodec::decodeAlone(const QByteArray &units, const Tools &tools) const
{
    Decoded decoded;
    const VvcDecoderRun::Result run = VvcDecoderRun::runOn(tools.decoder, units, true);
    if (run.sound() && run.pictures > 0 && !run.reconDigest.isEmpty())
        decoded.digest = run.reconDigest;
    else
        decoded.error = run.pictures == 0 && run.sound() ? QStringLiteral("the VVC decoder output no picture")
                                                         : decodeProblem(run);
    return decoded;
}

// The decoder reads the whole stream and checks every hash it carries; the index tells whether
// the stream ends inside its last access unit. Where the decoder fails, the same stream without
// its last access unit tells a cut end from damage before it.
Codec::PictureCheck VvcCodec::checkPictures(const QString &path, const Tools &tools, const std::atomic_bool *stop) const
{
    PictureCheck check;
    const VvcStreamIndex index = VvcStreamIndex::read(path, stop);
    if (stop && *stop) {
        check.verdict = PictureCheck::Stopped;
        return check;
    }
    if (!index.problem.isEmpty()) {
        check.verdict = PictureCheck::Damaged;
        check.problem = index.problem;
        return check;
    }
    if (index.pictures() == 0)
        return check;
    const int last = int(index.units.size()) - 1;
    const bool hashes = !index.units.first().hash.isEmpty();
    // Every other picture carries its hash after its slices: a last one without is cut short.
    if (hashes && index.units.at(last).picture && index.units.at(last).hash.isEmpty()) {
        check.verdict = PictureCheck::Cut;
        check.problem = QStringLiteral("the stream ends inside its last picture (byte %1 on), which lacks its "
                                       "decoded picture hash").arg(index.units.at(last).start);
        return check;
    }
    // Without a decoder program only the structure is checked (the caller says so).
    if (tools.decoder.isEmpty())
        return check;
    const VvcDecoderRun::Result run = VvcDecoderRun::run(tools.decoder, path, false, stop);
    if (run.stopped) {
        check.verdict = PictureCheck::Stopped;
        return check;
    }
    if (run.sound() && run.pictures >= index.pictures())
        return check;
    check.verdict = PictureCheck::Damaged;
    check.problem = decodeProblem(run, &index);
    if (run.firstBadHash < 0 && last > 0) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray before = file.read(index.units.at(last).start);
            const VvcDecoderRun::Result whole = VvcDecoderRun::runOn(tools.decoder, before, false);
            if (whole.sound() && whole.pictures >= index.pictures() - 1) {
                check.verdict = PictureCheck::Cut;
                check.problem = QStringLiteral("the stream ends inside its last picture (byte %1 on): %2")
                                    .arg(index.units.at(last).start).arg(check.problem);
            }
        }
    }
    return check;
}

RewriteResult VvcCodec::rewriteOutput(const QString &, const OutputFacts &) const
{
    RewriteResult result;
    result.summary = QStringLiteral("VVC parameter sets are not rewritten here");
    return result;
}
