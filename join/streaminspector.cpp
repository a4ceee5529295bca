#include "streaminspector.h"

#include "bitstream/nalunitreader.h"
#include "bitstream/seiwriter.h"

#include <QFile>

StreamSummary StreamInspector::inspect(const QString &path, qint64 enoughPictures)
{
    using H = HevcByteStream;
    StreamSummary summary;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        summary.problem = file.errorString();
        return summary;
    }
    summary.bytes = file.size();
    NalUnitReader reader(&file);
    NalUnit unit;
    bool vps = false, sps = false, pps = false, formatRead = false;
    while (reader.next(&unit)) {
        if (!reader.cleanStart()) {
            summary.problem = QStringLiteral("it is not an HEVC elementary stream (no start code at the beginning)");
            return summary;
        }
        if (unit.layer != 0)
            continue;
        if (unit.type == H::Vps)
            vps = true;
        else if (unit.type == H::Sps) {
            sps = true;
            if (!formatRead)
                formatRead = H::readSequenceFormat(unit.bytes.constData(), unit.bytes.size(), &summary.format);
        } else if (unit.type == H::Pps) {
            pps = true;
        } else if ((unit.type == H::SuffixSei || unit.type == H::PrefixSei) && !summary.pictureHashes) {
            summary.pictureHashes = SeiWriter::payloadTypes(unit.bytes.constData(), unit.bytes.size()).contains(132);
        } else if (unit.type < H::Vps) {
            // The first slice segment of a picture has first_slice_segment_in_pic_flag set.
            const bool firstSlice = unit.bytes.size() < 3 || (uchar(unit.bytes.at(2)) & 0x80);
            if (!firstSlice)
                continue;
            if (summary.pictures == 0) {
                summary.opensWithParameterSets = vps && sps && pps;
                summary.opensWithRandomAccess = H::isIrap(unit.type);
            }
            if (++summary.pictures == enoughPictures)
                return summary;
        }
    }
    if (!reader.problem.isEmpty()) {
        summary.problem = reader.problem;
        return summary;
    }
    // A file cut right after a start code, or after a NAL unit header, ends in no unit at all.
    const qint64 tailSize = qMin<qint64>(summary.bytes, 64);
    if (file.seek(summary.bytes - tailSize)) {
        QByteArray tail = file.read(tailSize);
        while (!tail.isEmpty() && tail.endsWith('\0'))
            tail.chop(1);
        const qsizetype lastStart = tail.lastIndexOf(QByteArray("\0\0\1", 3));
        summary.endsWithWholeUnit = !tail.isEmpty() && (lastStart < 0 || tail.size() - (lastStart + 3) >= 3);
    }
    return summary;
}
