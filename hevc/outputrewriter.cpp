#include "outputrewriter.h"

#include "metadatafilter.h"
#include "rawhevcinput.h"
#include "rawhevcoutput.h"
#include "rewritecheck.h"
#include "rewriteplan.h"

#include "bitstream/avresources.h"
#include "files/replacefile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

using namespace AvResources;

namespace {

// The rewrite of one file: the raw HEVC demuxer, the metadata filter and the raw HEVC muxer
// into a temporary file beside it, which replaces the file once complete and checked.
class Rewrite
{
public:
    Rewrite(const QString &path, const OutputFacts &facts) : path(path), facts(facts) {}

    RewriteResult run()
    {
        RewriteResult result;
        const QString problem = process();
        if (!problem.isEmpty()) {
            result.error = QStringLiteral("Cannot rewrite %1: %2")
                               .arg(QDir::toNativeSeparators(path), problem);
            return result;
        }
        result.rewritten = !plan.empty();
        plan.parts += RewritePlan::hdrSummary(facts, filter.seiAdded(), filter.seiKept());
        result.summary = plan.summary();
        return result;
    }

private:
    QString process();
    QString writeOutput(QSaveFile *file);
    QString filterPacket(AVPacket *packet);
    QString drainFilter();

    const QString path;
    const OutputFacts facts;
    RewritePlan plan;
    RawHevcInput input;
    MetadataFilter filter;
    RawHevcOutput output;
    qint64 pictures = 0;
};

QString Rewrite::process()
{
    const QString factProblem = RewritePlan::checkFacts(facts);
    if (!factProblem.isEmpty())
        return factProblem;
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("the file does not exist");
    if (!info.isFile())
        return QStringLiteral("it is not a file");
    if (info.size() == 0)
        return QStringLiteral("the file is empty");
    if (!RawHevcInput::startsWithStartCode(path))
        return QStringLiteral("it is not an HEVC elementary stream (no start code at the beginning)");

    QString problem = input.open(path);
    if (!problem.isEmpty())
        return problem;
    plan = RewritePlan::make(facts, input.format());
    if (plan.empty())
        return QString();

    // Unbuffered: a buffered write that fails only when the file is committed is not
    // reported by QSaveFile, which would then put a cut-short file in place.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    problem = writeOutput(&file);
    // Nothing writes into the file any more, and the input is closed before the temporary
    // file takes its place.
    output.close();
    input.close();
    if (problem.isEmpty())
        problem = ReplaceFile::syncToDisk(&file);
    if (problem.isEmpty())
        problem = RewriteCheck::nothingLost(path, file);
    if (!problem.isEmpty()) {
        file.cancelWriting();
        return problem;
    }
    ReplaceFile::keepModeOf(path, &file);
    if (!file.commit())
        return file.errorString();
    return QString();
}

QString Rewrite::writeOutput(QSaveFile *file)
{
    QString problem = filter.open(input.stream(), plan);
    if (problem.isEmpty())
        problem = output.open(file, filter.parameters(), filter.timeBase(), input.format().codedWidth,
                              input.format().codedHeight);
    if (!problem.isEmpty())
        return problem;

    problem = filterPacket(input.firstAccessUnit());
    PacketPtr packet(av_packet_alloc());
    if (!packet)
        return errorText(AVERROR(ENOMEM));
    while (problem.isEmpty()) {
        const int ret = input.read(packet.get());
        if (ret == AVERROR_EOF)
            break;
        if (ret < 0)
            return QStringLiteral("reading after picture %1 failed (%2)").arg(pictures).arg(errorText(ret));
        problem = filterPacket(packet.get());
    }
    if (problem.isEmpty())
        problem = drainFilter();
    if (!problem.isEmpty())
        return problem;
    return output.finish();
}

QString Rewrite::filterPacket(AVPacket *packet)
{
    if (plan.crops()) {
        // One crop is written into every sequence parameter set, so all must code the same size.
        const SequenceFormat &format = input.format();
        QList<SequenceFormat> formats;
        if (!RawHevcInput::sequenceFormats(reinterpret_cast<const char *>(packet->data), packet->size, &formats))
            return QStringLiteral("the sequence parameter set of picture %1 is unreadable").arg(pictures + 1);
        for (const SequenceFormat &later : formats)
            if (!later.sameCoding(format) || later.cropLeft != format.cropLeft
                || later.cropTop != format.cropTop)
                return QStringLiteral("the picture format changes at picture %1 (%2, first %3)")
                    .arg(pictures + 1).arg(later.describe(), format.describe());
    }
    const int ret = filter.send(packet);
    av_packet_unref(packet);
    if (ret < 0)
        return QStringLiteral("picture %1 could not be rewritten (%2)").arg(pictures + 1).arg(errorText(ret));
    return drainFilter();
}

QString Rewrite::drainFilter()
{
    PacketPtr out(av_packet_alloc());
    if (!out)
        return errorText(AVERROR(ENOMEM));
    for (;;) {
        // The filter adds the SEI messages to what it gives out.
        const int ret = filter.receive(out.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return QString();
        if (ret < 0)
            return QStringLiteral("picture %1 could not be rewritten (%2)").arg(pictures + 1).arg(errorText(ret));
        const QString problem = output.write(out.get(), pictures);
        if (!problem.isEmpty())
            return problem;
        ++pictures;
    }
}

} // namespace

RewriteResult OutputRewriter::rewrite(const QString &bitstreamPath, const OutputFacts &facts)
{
    return Rewrite(bitstreamPath, facts).run();
}
