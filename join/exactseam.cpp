#include "exactseam.h"

#include "seamproof.h"

#include "bitstream/rbsp.h"

namespace {

SeamProof::Copy copyOf(const ExactSeam::Segment &segment, int unit)
{
    const StreamIndex::Unit &picture = segment.index.units.at(unit);
    SeamProof::Copy copy;
    copy.path = segment.path;
    copy.start = picture.start;
    copy.end = picture.end;
    copy.sets = picture.sets;
    copy.hash = picture.hash;
    return copy;
}

// Why the later segment's pictures could not simply go on using the earlier segment's
// parameter sets in place of their own copies, which go with the dropped access unit.
// Adaptation parameter sets that differ are no reason: the join keeps them (see
// ExactSeam::keptSets).
QString setsProblem(const Codec &codec, const StreamIndex &earlier, const StreamIndex &later)
{
    for (const auto &set : later.openingSets) {
        if (ExactSeam::isAdaptationSet(codec, set.second))
            continue;
        if (earlier.finalSets.value(set.first) != set.second)
            return QStringLiteral("its parameter sets differ from those the earlier segment ends with");
    }
    return QString();
}

} // namespace

QString ExactSeam::openingProblem(const Codec &codec, int firstPictureType)
{
    if (firstPictureType >= 0 && codec.isIdr(firstPictureType))
        return QString();
    return QStringLiteral("the later segment does not open with an IDR picture");
}

ExactSeam::Check ExactSeam::check(const Codec &codec, const Codec::Tools &tools, const Segment &earlier,
                                  const Segment &later, const std::atomic_bool *stop)
{
    Check check;
    const StreamIndex &before = earlier.index, &after = later.index;
    if (!before.problem.isEmpty() || !after.problem.isEmpty()) {
        check.problem = QStringLiteral("the %1 segment cannot be read through: %2")
                            .arg(before.problem.isEmpty() ? QStringLiteral("later") : QStringLiteral("earlier"),
                                 before.problem.isEmpty() ? after.problem : before.problem);
        return check;
    }
    const int last = before.lastShown();
    if (last < 0 || !before.units.at(last).irap) {
        check.problem = QStringLiteral("the earlier segment's last picture is no intra picture");
        return check;
    }
    const bool opensWithPicture = !after.units.isEmpty() && after.units.first().picture;
    check.problem = openingProblem(codec, opensWithPicture ? after.units.first().nalType : -1);
    if (!check.problem.isEmpty())
        return check;
    check.overlaps = true;
    if (before.endsSequence)
        check.problem = QStringLiteral("the earlier segment ends its coded sequence");
    else if (after.longTermPictures)
        check.problem = QStringLiteral("the later segment may use long-term reference pictures, whose order "
                                       "counts are not renumbered");
    else
        check.problem = setsProblem(codec, before, after);
    if (check.problem.isEmpty())
        check.problem = SeamProof::problem(codec, tools, copyOf(earlier, last), copyOf(later, 0), stop);
    return check;
}

int ExactSeam::lastOrderCount(const StreamIndex &index, int offset)
{
    const int last = index.lastShown();
    if (last < 0)
        return 0;
    const StreamIndex::Unit &unit = index.units.at(last);
    return unit.pictureOrderCount + (unit.codedSequence == 0 ? offset : 0);
}

bool ExactSeam::renumbering(const Codec &codec, const StreamIndex &later, int offset, QList<FileEdit> *edits,
                            QString *problem)
{
    const int headerBytes = codec.headerBytes();
    for (const StreamIndex::OrderField &field : later.orderFields) {
        const qint64 count = qint64(later.units.at(field.unit).pictureOrderCount) + offset;
        const qint64 range = qint64(1) << field.bits;
        const quint32 lsb = quint32(((count % range) + range) % range);
        Rbsp::Edit edit;
        const QByteArray payload = field.head.mid(headerBytes);
        if (!Rbsp::replaceBits(payload, field.whole, field.bitAt, field.bits, lsb, &edit)) {
            *problem = QStringLiteral("the slice header from byte %1 cannot be renumbered").arg(field.offset);
            return false;
        }
        FileEdit change;
        change.at = field.offset + headerBytes + edit.from;
        change.before = payload.mid(edit.from, edit.length);
        change.after = edit.bytes;
        if (change.before != change.after)
            edits->append(change);
    }
    return true;
}

bool ExactSeam::isAdaptationSet(const Codec &codec, const QByteArray &set)
{
    return set.size() >= codec.headerBytes()
        && codec.kind(codec.header(set.constData()).type) == Codec::Kind::AdaptationSet;
}

QByteArray ExactSeam::keptSets(const Codec &codec, const StreamIndex &earlier, const StreamIndex &later)
{
    QByteArray kept;
    for (const auto &set : later.openingSets) {
        if (isAdaptationSet(codec, set.second) && earlier.finalSets.value(set.first) != set.second)
            kept += QByteArray("\0\0\0\1", 4) + set.second;
    }
    return kept;
}
