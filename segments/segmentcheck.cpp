#include "segmentcheck.h"

#include "codecs/codecs.h"
#include "encoderrun/seamsupport.h"
#include "files/pathtext.h"
#include "jobtypes/joboutput.h"
#include "join/streaminspector.h"
#include "output/outputguard.h"
#include "parts/partclaim.h"

namespace SegmentCheck {

namespace {

// How long processes that still write into a segment after its encoder exited are waited for.
constexpr int writersGraceMs = 3000;

QString problemOf(const QString &partial, qint64 planned, const EncoderRun::Outcome::Pictures &outcome,
                  const OutputGuard::Stamp &before, const JobSettings &settings)
{
    if (!OutputGuard::waitForWriters(partial, writersGraceMs).isEmpty())
        return QStringLiteral("its bitstream %1 is still being written after the encoder exited")
            .arg(PathText::native(partial));
    if (!OutputGuard::changedSince(before, partial))
        return QStringLiteral("the encoder exited with 0 but wrote no bitstream %1").arg(PathText::native(partial));
    const qint64 handed = outcome.given;
    // The overlap picture (the next segment's first) is coded too; with a temporal subsample
    // ratio, only every so many of the pictures handed over.
    const qint64 coded = SeamSupport::of(settings).codedPictures(qMax(outcome.coded, handed));
    const StreamSummary summary = StreamInspector::inspect(partial);
    if (!summary.problem.isEmpty())
        return QStringLiteral("its bitstream is unreadable: %1").arg(summary.problem);
    if (handed == 0)
        return QStringLiteral("the input has no pictures there");
    if (planned > 0 && handed < planned && !outcome.reachedEnd)
        return QStringLiteral("only %1 of its %2 pictures reached the encoder").arg(handed).arg(planned);
    if (summary.pictures != coded)
        return QStringLiteral("the encoder exited with 0 but its bitstream holds %1 pictures, not %2")
            .arg(summary.pictures).arg(coded);
    if (!summary.opensWithParameterSets || !summary.opensWithRandomAccess)
        return QStringLiteral("its bitstream does not open with parameter sets and a random-access picture");
    if (!summary.endsWithWholeUnit)
        return QStringLiteral("its bitstream ends in the middle of a NAL unit");
    // Every picture, so that a segment the join takes on trust from its record is sound.
    const Codec::PictureCheck pictures = Codecs::of(partial).checkPictures(partial, JobOutput::toolsOf(settings));
    if (pictures.verdict == Codec::PictureCheck::Cut)
        return QStringLiteral("its bitstream is not whole: %1").arg(pictures.problem);
    if (pictures.verdict == Codec::PictureCheck::Damaged)
        return QStringLiteral("its bitstream is damaged: %1").arg(pictures.problem);
    return QString();
}

} // namespace

QString keep(PartsFolder *folder, const SegmentPlan::Segment &span, const EncoderRun::Outcome &outcome,
             const OutputGuard::Stamp &before, const PartClaim *claim, const JobSettings &settings)
{
    const QString problem = problemOf(folder->partialPath(span.first), span.count, outcome.pictures, before, settings);
    if (!problem.isEmpty())
        return problem;
    if (!claim->stillOwn())
        return QStringLiteral("another process took it over meanwhile");
    PartsFolder::SegmentRecord record;
    record.first = span.first;
    record.pictures = outcome.pictures.given;
    record.extra.insert(QStringLiteral("times"), outcome.pictures.times.toJson());
    record.extra.insert(QStringLiteral("reached_end"), outcome.pictures.reachedEnd);
    record.extra.insert(QStringLiteral("rows"), QualityReport::rowsToJson(outcome.bitstream.rows));
    record.extra.insert(QStringLiteral("encoder_cpu_s"), outcome.bitstream.encoderCpuSeconds);
    // Its bitstream ends with the next segment's first picture, which the join proves.
    if (outcome.pictures.coded > outcome.pictures.given)
        record.extra.insert(QStringLiteral("overlap"), true);
    return folder->finish(record);
}

Kept read(const PartsFolder &folder, const QList<qint64> &firsts, bool withTimes, qint64 start)
{
    Kept kept;
    for (int i = 0; i < firsts.size(); ++i) {
        PartsFolder::SegmentRecord record;
        PictureTimes times;
        if (!folder.finished(firsts.at(i), &record, true)
            || (withTimes && !PictureTimes::fromJson(record.extra.value(QStringLiteral("times")).toObject(), &times))) {
            kept.redo << i;
            continue;
        }
        if (kept.times.isEmpty())
            kept.times = times;
        else
            kept.times.append(times);
        kept.reachedEnd = record.extra.value(QStringLiteral("reached_end")).toBool();
        kept.pictures += record.pictures;
        kept.encoderCpuSeconds += record.extra.value(QStringLiteral("encoder_cpu_s")).toDouble();
        kept.overlaps << record.extra.value(QStringLiteral("overlap")).toBool();
        OutputRequest::Rows rows{firsts.at(i) - start, {}};
        if (QualityReport::rowsFromJson(record.extra.value(QStringLiteral("rows")).toArray(), &rows.rows))
            kept.rows << rows;
    }
    return kept;
}

} // namespace SegmentCheck
