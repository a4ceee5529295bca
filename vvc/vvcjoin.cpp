// The exact join of VVC segments, and what it rests on, as found with the VVC reference encoder
// (23.13, its stock random-access file with the temporal filter on, its all-intra file coding
// every eighth picture, and the all-intra file with access unit delimiters and picture header
// NAL units) and the reference software's own join, parcat, on the same segments.
//
// The segments: each but the last also codes the next one's first picture (one more picture
// with -f, LastValidFrame at the whole input's last picture so that the temporal filter sees
// what it sees in one piece); the next one starts there (-fs, FirstValidFrame 0).
//
// What the encoder writes:
// - Every segment opens with an IDR_N_LP picture of order count 0. So the later segment's copy
//   of the seam picture is an IDR picture, and the earlier copy is the CRA picture one piece has
//   there: order count 32 with the random-access file at 30 pictures a second (its intra
//   period), 1 with the all-intra file, whose counts number the coded pictures, not the input's.
//   Both copies carry the same MD5 in their decoded picture hash SEI.
// - The picture header stands in the slice header (one slice a picture) unless
//   EnablePictureHeaderInSliceHeader is 0; log2_max_pic_order_cnt_lsb is 8.
// - Every intra picture's access unit repeats the SPS, the PPS, an LMCS APS and an ALF APS
//   (ReWriteParamSets); other pictures may bring ALF APS units of their own, referred to by id
//   by the pictures after them. The later segment's first access unit is [AUD,] SPS, PPS, LMCS
//   APS, ALF APS, [PH,] the IDR slice, and a suffix SEI with the picture's MD5; its parameter
//   sets are byte for byte those of the earlier copy's access unit.
//
// What parcat does with every segment after the first:
// - It drops each DCI, VPS, SPS, PPS, APS (prefix and suffix), PH and AUD before the segment's
//   first IDR slice, every IDR slice of the segment, and the first suffix SEI after each; it
//   keeps everything else as it is (an OPI or a prefix SEI before the IDR slice among it).
// - It rewrites ph_pic_order_cnt_lsb of every other picture, in a PH NAL unit or in the slice
//   header, to its value plus the number of pictures other than IDR pictures in the segments
//   before, modulo 256: it takes the field to be 8 bits wide and the order count to grow by one a
//   picture.
// With these streams that is the later segment's first access unit dropped whole and 32 (or 1)
// added to every other picture's order count; the result is one piece's bytes.
//
// What this join does instead, on the same streams with the same result:
// - The first segment is copied as it is. From each later one, the first access unit goes
//   whole (delimiter, parameter sets, picture header, slices, SEI), but for adaptation
//   parameter sets that differ from those in force where the earlier segment ends: pictures
//   after it may refer to them by id, so they open the segment's next access unit instead.
// - Every later picture's ph_pic_order_cnt_lsb, at the width its SPS gives, counts on from the
//   earlier copy's order count: it gains the difference between the two copies' counts, modulo
//   its range, with the emulation prevention around it redone.
// - A seam is refused, naming the segment, unless the earlier segment's last picture is an
//   intra picture, the later one opens with an IDR picture, both copies carry the same picture
//   hash, the later one's SPS and PPS are those in force, nothing ends the coded sequence in
//   between, and no picture may refer to long-term or inter-layer references (whose order
//   counts this join does not renumber).

#include "vvcjoin.h"

#include "vvcsei.h"

#include "bitstream/rbsp.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>

namespace {

constexpr qint64 kCopyChunk = 1 << 20;
// Parameter sets put into the joined stream get a four-byte start code, as the encoder gives them.
const QByteArray kStartCode("\0\0\0\1", 4);

// Copies [from, to) of in to out, with the edits that fall in that range made on the way.
bool copyRange(QFile *in, qint64 from, qint64 to, const QList<VvcJoin::FileEdit> &edits, QSaveFile *out,
               QString *problem)
{
    if (!in->seek(from)) {
        *problem = in->errorString();
        return false;
    }
    qint64 at = from;
    const auto copyTo = [&](qint64 until) {
        while (at < until) {
            const QByteArray chunk = in->read(qMin(kCopyChunk, until - at));
            if (chunk.isEmpty()) {
                *problem = QStringLiteral("%1 ends before byte %2").arg(in->fileName()).arg(until);
                return false;
            }
            if (out->write(chunk) != chunk.size()) {
                *problem = out->errorString();
                return false;
            }
            at += chunk.size();
        }
        return true;
    };
    for (const VvcJoin::FileEdit &edit : edits) {
        if (edit.at < from || edit.at + edit.before.size() > to)
            continue;
        if (!copyTo(edit.at))
            return false;
        if (in->read(edit.before.size()) != edit.before) {
            *problem = QStringLiteral("%1 changed while it was read (byte %2)").arg(in->fileName()).arg(edit.at);
            return false;
        }
        at += edit.before.size();
        if (out->write(edit.after) != edit.after.size()) {
            *problem = out->errorString();
            return false;
        }
    }
    return copyTo(to);
}

bool sameHash(const QByteArray &earlier, const QByteArray &later, QString *problem)
{
    VvcSei::PictureHash first, second;
    const bool firstRead = VvcSei::readPictureHash(earlier, &first);
    const bool secondRead = VvcSei::readPictureHash(later, &second);
    if (earlier.isEmpty() || later.isEmpty()) {
        *problem = QStringLiteral("the copies of the seam picture carry no decoded picture hash to compare");
        return false;
    }
    if (!firstRead || !secondRead) {
        *problem = QStringLiteral("a copy of the seam picture carries a damaged picture hash");
        return false;
    }
    if (first.kind != second.kind) {
        *problem = QStringLiteral("the copies of the seam picture carry hashes of two kinds (%1, %2)")
                       .arg(first.kindName(), second.kindName());
        return false;
    }
    if (first.components != second.components) {
        *problem = QStringLiteral("the two copies of the seam picture differ (%1 against %2)")
                       .arg(first.describe(), second.describe());
        return false;
    }
    return true;
}

} // namespace

bool VvcJoin::renumbering(const VvcStreamIndex &index, int offset, int fromUnit, QList<FileEdit> *edits,
                          QString *problem)
{
    for (const VvcStreamIndex::OrderField &field : index.orderFields) {
        if (field.unit < fromUnit)
            continue;
        const qint64 range = qint64(1) << field.bits;
        const quint32 lsb = quint32((((qint64(field.value) + offset) % range) + range) % range);
        Rbsp::Edit edit;
        const QByteArray payload = field.head.mid(2);
        if (!Rbsp::replaceBits(payload, field.whole, field.bitAt, field.bits, lsb, &edit)) {
            *problem = QStringLiteral("the picture header at byte %1 cannot be renumbered").arg(field.offset);
            return false;
        }
        FileEdit change;
        change.at = field.offset + 2 + edit.from;
        change.before = payload.mid(edit.from, edit.length);
        change.after = edit.bytes;
        if (change.before != change.after)
            edits->append(change);
    }
    return true;
}

int VvcJoin::lastOrderCount(const VvcStreamIndex &index, int offset)
{
    const int last = index.lastShown();
    return last < 0 ? offset : index.units.at(last).pictureOrderCount + offset;
}

QString VvcJoin::seamProblem(const VvcStreamIndex &earlier, const VvcStreamIndex &later,
                             const QMap<int, QByteArray> &inForce)
{
    if (!earlier.problem.isEmpty())
        return QStringLiteral("the earlier segment cannot be read through: %1").arg(earlier.problem);
    if (!later.problem.isEmpty())
        return QStringLiteral("the later segment cannot be read through: %1").arg(later.problem);
    const int last = earlier.lastShown();
    if (last < 0 || !earlier.units.at(last).irap())
        return QStringLiteral("the earlier segment's last picture is no intra picture");
    if (later.units.isEmpty() || !later.units.first().idr())
        return QStringLiteral("the later segment does not open with an IDR picture");
    if (earlier.endsSequence)
        return QStringLiteral("the earlier segment ends its coded sequence");
    if (later.longTermPictures)
        return QStringLiteral("the later segment may use long-term reference pictures, whose order counts are not "
                              "renumbered");
    if (earlier.interLayer || later.interLayer)
        return QStringLiteral("the segments have pictures that refer to other layers");
    for (const VvcStreamIndex::SetUnit &set : later.openingSets) {
        if (!VvcParameterSets::isAdaptationKey(set.key) && inForce.value(set.key) != set.bytes)
            return QStringLiteral("its sequence or picture parameter sets differ from those in force where the earlier "
                                  "segment ends");
    }
    QString problem;
    sameHash(earlier.units.at(last).hash, later.units.first().hash, &problem);
    return problem;
}

bool VvcJoin::join(const QStringList &segments, const QString &output, QString *problem,
                   const std::atomic_bool *stop)
{
    if (segments.isEmpty()) {
        *problem = QStringLiteral("there is no segment to join");
        return false;
    }
    QSaveFile out(output);
    if (!out.open(QIODevice::WriteOnly)) {
        *problem = QStringLiteral("%1 cannot be written: %2").arg(output, out.errorString());
        return false;
    }
    QMap<int, QByteArray> inForce;
    VvcStreamIndex earlier;
    int offset = 0;
    for (qsizetype i = 0; i < segments.size(); ++i) {
        const QString &path = segments.at(i);
        const VvcStreamIndex index = VvcStreamIndex::read(path, stop);
        QString why = index.problem;
        if (why.isEmpty() && index.pictures() == 0)
            why = QStringLiteral("it holds no picture");
        if (why.isEmpty() && i > 0)
            why = seamProblem(earlier, index, inForce);
        QList<FileEdit> edits;
        int laterOffset = 0;
        if (why.isEmpty() && i > 0) {
            // The later segment's pictures count on from the earlier copy of the seam picture.
            laterOffset = lastOrderCount(earlier, offset) - index.units.first().pictureOrderCount;
            renumbering(index, laterOffset, 1, &edits, &why);
        }
        if (!why.isEmpty()) {
            *problem = i == 0 ? QStringLiteral("%1 cannot be used: %2").arg(path, why)
                              : QStringLiteral("%1 cannot follow %2 exactly: %3").arg(path, segments.at(i - 1), why);
            return false;
        }
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly)) {
            *problem = QStringLiteral("%1 cannot be read: %2").arg(path, in.errorString());
            return false;
        }
        bool copied = true;
        if (i == 0) {
            copied = copyRange(&in, 0, index.size, edits, &out, &why);
        } else if (index.units.size() > 1) {
            // The later copy of the seam picture goes with everything its access unit holds,
            // but for adaptation parameter sets that differ from those in force: later
            // pictures may refer to them, so they open the next access unit instead.
            QByteArray kept;
            for (const VvcStreamIndex::SetUnit &set : index.openingSets) {
                if (VvcParameterSets::isAdaptationKey(set.key) && inForce.value(set.key) != set.bytes)
                    kept += kStartCode + set.bytes;
            }
            const VvcStreamIndex::AccessUnit &next = index.units.at(1);
            copied = copyRange(&in, next.start, next.afterDelimiter, edits, &out, &why)
                && out.write(kept) == kept.size()
                && copyRange(&in, next.afterDelimiter, index.size, edits, &out, &why);
        }
        if (!copied) {
            *problem = QStringLiteral("%1 cannot be joined: %2").arg(path, why.isEmpty() ? out.errorString() : why);
            return false;
        }
        for (auto set = index.finalSets.constBegin(); set != index.finalSets.constEnd(); ++set)
            inForce.insert(set.key(), set.value());
        offset = laterOffset;
        earlier = index;
    }
    if (!out.commit()) {
        *problem = QStringLiteral("%1 cannot be written: %2").arg(output, out.errorString());
        return false;
    }
    return true;
}

bool VvcJoin::renumber(const QString &path, const QString &output, int offset, QString *problem)
{
    const VvcStreamIndex index = VvcStreamIndex::read(path);
    QList<FileEdit> edits;
    if (!index.problem.isEmpty()) {
        *problem = QStringLiteral("%1 cannot be read: %2").arg(path, index.problem);
        return false;
    }
    if (!renumbering(index, offset, 0, &edits, problem))
        return false;
    QFile in(path);
    QSaveFile out(output);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)) {
        *problem = QStringLiteral("%1 cannot be copied to %2: %3")
                       .arg(path, output, in.isOpen() ? out.errorString() : in.errorString());
        return false;
    }
    if (!copyRange(&in, 0, index.size, edits, &out, problem))
        return false;
    if (!out.commit()) {
        *problem = QStringLiteral("%1 cannot be written: %2").arg(output, out.errorString());
        return false;
    }
    return true;
}
