#include "exactseam.h"

#include "seamproof.h"

#include "bitstream/rbsp.h"

namespace {

SeamProof::Copy copyOf(const SegmentIndex &index, int unit, const QString &path)
{
    const SegmentIndex::Unit &picture = index.units.at(unit);
    SeamProof::Copy copy;
    copy.path = path;
    copy.start = picture.start;
    copy.end = picture.end;
    copy.sets = picture.sets;
    copy.hash = picture.hash;
    return copy;
}

// Why the later segment's pictures could not simply go on using the earlier segment's
// parameter sets in place of their own copies, which go with the dropped access unit.
QString setsProblem(const SegmentIndex &earlier, const SegmentIndex &later)
{
    for (const auto &set : later.openingSets) {
        if (earlier.finalSets.value(set.first) != set.second)
            return QStringLiteral("its parameter sets differ from those the earlier segment ends with");
    }
    return QString();
}

} // namespace

ExactSeam::Check ExactSeam::check(const SegmentIndex &earlier, const QString &earlierPath, const SegmentIndex &later,
                                  const QString &laterPath, const std::atomic_bool *stop)
{
    Check check;
    if (!earlier.problem.isEmpty() || !later.problem.isEmpty()) {
        check.problem = QStringLiteral("the %1 segment cannot be read through: %2")
                            .arg(earlier.problem.isEmpty() ? QStringLiteral("later") : QStringLiteral("earlier"),
                                 earlier.problem.isEmpty() ? later.problem : earlier.problem);
        return check;
    }
    const int last = earlier.lastShown();
    if (last < 0 || !earlier.units.at(last).irap()) {
        check.problem = QStringLiteral("the earlier segment's last picture is no intra picture");
        return check;
    }
    if (later.units.isEmpty() || !later.units.first().idr()) {
        check.problem = QStringLiteral("the later segment does not open with an IDR picture");
        return check;
    }
    check.overlaps = true;
    if (earlier.endsSequence)
        check.problem = QStringLiteral("the earlier segment ends its coded sequence");
    else if (later.longTermPictures)
        check.problem = QStringLiteral("the later segment may use long-term reference pictures, whose order "
                                       "counts are not renumbered");
    else
        check.problem = setsProblem(earlier, later);
    if (check.problem.isEmpty())
        check.problem = SeamProof::problem(copyOf(earlier, last, earlierPath), copyOf(later, 0, laterPath), stop);
    return check;
}

int ExactSeam::lastOrderCount(const SegmentIndex &index, int offset)
{
    const int last = index.lastShown();
    if (last < 0)
        return 0;
    const SegmentIndex::Unit &unit = index.units.at(last);
    return unit.pictureOrderCount + (unit.codedSequence == 0 ? offset : 0);
}

bool ExactSeam::renumbering(const SegmentIndex &later, int offset, QList<FileEdit> *edits, QString *problem)
{
    for (const SegmentIndex::OrderField &field : later.orderFields) {
        const qint64 count = qint64(later.units.at(field.unit).pictureOrderCount) + offset;
        const qint64 range = qint64(1) << field.bits;
        const quint32 lsb = quint32(((count % range) + range) % range);
        Rbsp::Edit edit;
        const QByteArray payload = field.head.mid(2);
        if (!Rbsp::replaceBits(payload, field.whole, field.bitAt, field.bits, lsb, &edit)) {
            *problem = QStringLiteral("the slice header from byte %1 cannot be renumbered").arg(field.offset);
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
