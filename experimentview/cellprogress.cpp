#include "cellprogress.h"

#include "experimentrun/cellrun.h"
#include "parts/partclaim.h"
#include "parts/partsfolder.h"
#include "report/encoderlinereader.h"

#include <QFile>

namespace {

// The most of a log one look reads: a log longer than this since the last look (a first look
// at a cell with many runs behind it) is read from this far before its end.
constexpr qint64 logWindow = 4 << 20;

} // namespace

CellProgress::CellProgress(const QString &log, const QString &bitstream)
    : logPath(log)
    , partsPath(PartsFolder(bitstream).path())
    , bitstreamPath(bitstream)
{
}

bool CellProgress::look(qint64 sequencePictures)
{
    const Figures before = now;
    const PathStamp parts = PathStamp::of(partsPath);
    if (parts.folder) {
        if (parts != partsStamp || sequencePictures != partsTotalFor)
            lookParts(sequencePictures);
    } else {
        now = Figures();
        lookLog();
        now.picturesDone = runPictures;
        now.picturesTotal = sequencePictures;
    }
    partsStamp = parts;
    return !(now == before);
}

void CellProgress::lookLog()
{
    const PathStamp stamp = PathStamp::of(logPath);
    if (stamp == logStamp)
        return;
    logStamp = stamp;
    if (!stamp.exists || stamp.size < logRead) {
        // Gone, or another log in its place: counted afresh.
        logRead = 0;
        partialLine.clear();
        runPictures = 0;
    }
    if (stamp.size > logRead)
        readLog(qMax(logRead, stamp.size - logWindow), stamp.size);
}

// Each run of a job on the cell begins with a heading line (CellRun::logHeading), and its
// encoder's picture lines follow; lines come whole. After a jump the first line read is cut
// short, and no picture line.
void CellProgress::readLog(qint64 from, qint64 to)
{
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(from))
        return;
    if (from > logRead)
        partialLine.clear();
    const QByteArray bytes = file.read(to - from);
    logRead = from + bytes.size();
    partialLine += bytes;
    qsizetype start = 0;
    for (qsizetype end = partialLine.indexOf('\n'); end >= 0; end = partialLine.indexOf('\n', start)) {
        const QByteArrayView line(partialLine.constData() + start, end - start);
        PictureRow row;
        if (CellRun::isLogHeading(line))
            runPictures = 0;
        else if (EncoderLineReader::parseLine(line, &row))
            ++runPictures;
        start = end + 1;
    }
    partialLine.remove(0, start);
}

void CellProgress::lookParts(qint64 sequencePictures)
{
    const PartsFolder parts(bitstreamPath);
    const PathStamp jobFile = PathStamp::of(parts.jobPath());
    if (jobFile != jobStamp) {
        jobStamp = jobFile;
        QString problem;
        if (!parts.readJob(&job, &problem))
            job = JobRecord();
    }
    partsTotalFor = sequencePictures;
    now = Figures();
    now.segmentsTotal = int(job.segments.size());
    qint64 done = 0, total = 0;
    bool totalKnown = true;
    for (const SegmentPlan::Segment &segment : std::as_const(job.segments)) {
        const qint64 count = segment.count >= 0 ? segment.count
                             : sequencePictures >= 0 ? sequencePictures - segment.first
                                                     : -1;
        totalKnown = totalKnown && count >= 0;
        total += qMax<qint64>(0, count);
        PartsFolder::SegmentRecord record;
        if (parts.finished(segment.first, &record, false)) {
            ++now.segmentsDone;
            done += record.pictures;
        }
    }
    if (now.segmentsTotal > 0) {
        now.picturesDone = done;
        now.picturesTotal = totalKnown ? total : -1;
    }
    for (const QString &claim : parts.otherClaims()) {
        PartClaim::Holder holder;
        if (PartClaim::read(claim, &holder) && !holder.host.isEmpty() && !now.hosts.contains(holder.host))
            now.hosts << holder.host;
    }
    now.hosts.sort();
}
