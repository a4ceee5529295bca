#include "pictureorder.h"

#include "hevcbytestream.h"
#include "sliceheader.h"

#include "bitstream/bytestream.h"

#include <algorithm>

namespace {

using H = HevcByteStream;

constexpr int kRadlN = 6, kRaslR = 9, kRaslN = 8;

bool isBla(int type)
{
    return type >= H::BlaWithLeading && type < H::IdrWithLeading;
}

bool isRasl(int type)
{
    return type == kRaslN || type == kRaslR;
}

// Pictures that never anchor the picture order count of later ones: leading pictures and
// sub-layer non-reference pictures (the even types up to 14).
bool anchorsOrder(int type, int temporalIdPlus1)
{
    if (temporalIdPlus1 != 1)
        return false;
    if (type >= kRadlN && type <= kRaslR)
        return false;
    return !(type <= 14 && type % 2 == 0);
}

} // namespace

bool PictureOrder::readSlice(const char *nal, qsizetype size, Entry *entry)
{
    const int type = H::nalType(nal);
    const int picture = int(entries.size()) + 1;
    SliceHeader header;
    QString unread;
    if (!SliceHeader::read(sets, nal, size, &header, &unread)) {
        problem = QStringLiteral("the slice header of picture %1 %2").arg(picture).arg(unread);
        return false;
    }
    const int maxLsb = 1 << header.pocLsbBits;
    const int lsb = int(header.pocLsb);
    const bool output = header.output;
    if (!output) {
        // It may be a reference of others, so it cannot be left out, and it has no time of its own.
        problem = QStringLiteral("picture %1 is coded not to be output").arg(picture);
        return false;
    }

    entry->randomAccess = H::isIrap(type);
    const bool startsSequence = entry->randomAccess && (H::isIdr(type) || isBla(type) || opensSequence);
    if (opensSequence && !entry->randomAccess) {
        problem = QStringLiteral("picture %1 is not a random-access picture, yet a sequence starts with it")
                      .arg(picture);
        return false;
    }
    opensSequence = false;
    int msb = 0;
    if (startsSequence) {
        ++codedSequence;
    } else {
        const int previousLsb = previousTid0Poc & (maxLsb - 1);
        const int previousMsb = previousTid0Poc - previousLsb;
        msb = previousMsb;
        if (lsb < previousLsb && previousLsb - lsb >= maxLsb / 2)
            msb += maxLsb;
        else if (lsb > previousLsb && lsb - previousLsb > maxLsb / 2)
            msb -= maxLsb;
    }
    if (entry->randomAccess)
        skippingLeading = startsSequence && !H::isIdr(type);

    entry->codedSequence = codedSequence;
    entry->poc = msb + lsb;
    entry->kind = isRasl(type) && skippingLeading ? Skipped : Shown;
    if (anchorsOrder(type, H::nalTemporalIdPlus1(nal)))
        previousTid0Poc = entry->poc;
    return true;
}

bool PictureOrder::addAccessUnit(const char *data, qsizetype size)
{
    Entry entry;
    bool picture = false;
    qsizetype at = ByteStream::findNalUnit(data, size, 0);
    while (at >= 0 && at + 2 <= size) {
        const qsizetype next = ByteStream::findNalUnit(data, size, at + 2);
        const qsizetype end = next < 0 ? size : next - 3;
        const char *nal = data + at;
        const int type = H::nalType(nal);
        at = next;
        if (H::nalLayer(nal) != 0)
            continue;
        if (type == H::EndOfSequence || type == H::EndOfBitstream) {
            opensSequence = true;
        } else if (type == H::Sps || type == H::Pps) {
            if (!sets.take(nal, end - (nal - data))) {
                problem = sets.problem;
                return false;
            }
        } else if (type < H::Vps && H::firstSliceInPicture(nal, end - (nal - data)).value_or(false)) {
            // The first slice segment of a picture; the others carry nothing new here.
            if (picture) {
                problem = QStringLiteral("access unit %1 holds more than one picture").arg(entries.size() + 1);
                return false;
            }
            picture = true;
            if (!readSlice(nal, end - (nal - data), &entry))
                return false;
        }
    }
    if (entry.kind == Shown)
        ++shownCount;
    entries.append(entry);
    return true;
}

bool PictureOrder::finish()
{
    QVector<int> order;
    order.reserve(shownCount);
    for (int unit = 0; unit < entries.size(); ++unit)
        if (entries.at(unit).kind == Shown)
            order.append(unit);
    const auto before = [this](int a, int b) {
        const Entry &x = entries.at(a), &y = entries.at(b);
        return x.codedSequence != y.codedSequence ? x.codedSequence < y.codedSequence : x.poc < y.poc;
    };
    std::stable_sort(order.begin(), order.end(), before);
    for (int place = 0; place < order.size(); ++place) {
        if (place > 0 && !before(order.at(place - 1), order.at(place))) {
            problem = QStringLiteral("pictures %1 and %2 claim the same place in output order")
                          .arg(order.at(place - 1) + 1).arg(order.at(place) + 1);
            return false;
        }
        entries[order.at(place)].place = place;
    }
    return true;
}
