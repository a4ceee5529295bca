#include "streaminspector.h"

#include "bitstream/nalunitreader.h"
#include "codecs/codecs.h"

#include <QFile>

namespace {

// A file cut right after a start code, or after a NAL unit header, ends in no unit at all.
bool endsWithWholeUnit(QFile *file, const Codec &codec)
{
    const qint64 tailSize = qMin<qint64>(file->size(), 64);
    if (!file->seek(file->size() - tailSize))
        return false;
    QByteArray tail = file->read(tailSize);
    while (!tail.isEmpty() && tail.endsWith('\0'))
        tail.chop(1);
    const qsizetype lastStart = tail.lastIndexOf(QByteArray("\0\0\1", 3));
    return !tail.isEmpty() && (lastStart < 0 || tail.size() - (lastStart + 3) >= codec.headerBytes() + 1);
}

} // namespace

StreamSummary StreamInspector::inspect(const QString &path, qint64 enoughPictures)
{
    using Kind = Codec::Kind;
    StreamSummary summary;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        summary.problem = file.errorString();
        return summary;
    }
    summary.bytes = file.size();
    summary.codec = Codecs::recognise(&file);
    const Codec &codec = summary.codec ? *summary.codec : Codecs::fallback();
    NalUnitReader reader(&file, codec);
    NalUnit unit;
    QList<Kind> sets;
    bool formatRead = false;
    bool firstSliceDue = false;   // the first picture began, its first slice not yet seen
    while (reader.next(&unit)) {
        if (!reader.cleanStart()) {
            summary.problem = QStringLiteral("it is not an %1 elementary stream (no start code at the beginning)")
                                  .arg(codec.name());
            return summary;
        }
        if (unit.layer != 0)
            continue;
        const Kind kind = codec.kind(unit.type);
        if (Codec::isParameterSet(kind)) {
            sets << kind;
            if (kind == Kind::SequenceSet && !formatRead)
                formatRead = codec.readFormat(unit.bytes.constData(), unit.bytes.size(), &summary.format);
        } else if ((kind == Kind::SuffixSei || kind == Kind::PrefixSei) && !summary.pictureHashes) {
            summary.pictureHashes = codec.pictureHash(unit.bytes.constData(), unit.bytes.size());
        } else if (kind == Kind::Slice || kind == Kind::PictureHeader) {
            if (codec.startsPicture(unit.bytes.constData(), unit.bytes.size()).value_or(true)) {
                if (summary.pictures == 0) {
                    summary.opensWithParameterSets = codec.missingOpeningSets(sets).isEmpty();
                    firstSliceDue = true;
                }
                ++summary.pictures;
            }
            if (kind == Kind::Slice && firstSliceDue) {
                summary.opensWithRandomAccess = codec.isIrap(unit.type);
                firstSliceDue = false;
            }
            if (enoughPictures > 0 && summary.pictures == enoughPictures && !firstSliceDue)
                return summary;
        }
    }
    if (!reader.problem.isEmpty()) {
        summary.problem = reader.problem;
        return summary;
    }
    summary.endsWithWholeUnit = endsWithWholeUnit(&file, codec);
    return summary;
}
