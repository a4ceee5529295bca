#include "rewritecheck.h"

#include "hevccodec.h"
#include "hevcbytestream.h"

#include "bitstream/nalunitreader.h"

#include <QByteArrayView>
#include <QFile>

// A unit the filter could not parse (another layer, a temporal id of zero, the forbidden bit
// set) would otherwise be dropped without a word.
QString RewriteCheck::nothingLost(const QString &originalPath, const QFileDevice &file)
{
    using H = HevcByteStream;
    QFile original(originalPath);
    if (!original.open(QIODevice::ReadOnly))
        return original.errorString();
    // The temporary file, read back through a second descriptor of its own.
    QFile rewritten(QStringLiteral("/proc/self/fd/%1").arg(file.handle()));
    if (!rewritten.open(QIODevice::ReadOnly))
        return QStringLiteral("the rewritten stream cannot be read back (%1)").arg(rewritten.errorString());

    const auto isParameterSet = [](int type) { return type >= H::Vps && type <= H::Pps; };
    const auto withoutTrailingZeros = [](const QByteArray &bytes) {
        qsizetype end = bytes.size();
        while (end > 0 && bytes.at(end - 1) == 0)
            --end;
        return QByteArrayView(bytes.constData(), end);
    };
    const HevcCodec &codec = HevcCodec::instance();
    NalUnitReader before(&original, codec, NalUnitReader::Whole), after(&rewritten, codec, NalUnitReader::Whole);
    NalUnit wanted, found;
    qint64 index = 0;
    bool pending = before.next(&wanted);
    while (after.next(&found)) {
        const bool same = pending
            && (isParameterSet(wanted.type) ? wanted.bytes.left(2) == found.bytes.left(2)
                                            : withoutTrailingZeros(wanted.bytes) == withoutTrailingZeros(found.bytes));
        if (same) {
            pending = before.next(&wanted);
            ++index;
        } else if (found.type != H::PrefixSei && found.type != H::SuffixSei) {
            break;
        }
    }
    if (!before.problem.isEmpty())
        return before.problem;
    if (!after.problem.isEmpty())
        return QStringLiteral("the rewritten stream cannot be read back (%1)").arg(after.problem);
    if (!pending)
        return QString();
    return QStringLiteral("NAL unit %1 of the stream (type %2, layer %3, temporal id + 1 = %4%5, at byte %6) "
                          "would not have come through unchanged")
        .arg(index + 1).arg(wanted.type).arg(wanted.layer).arg(wanted.temporalIdPlus1)
        .arg(wanted.damaged ? QStringLiteral(", forbidden bit set") : QString())
        .arg(wanted.offset);
}
