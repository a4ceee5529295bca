#include "joincommand.h"

#include "codecs/codecs.h"
#include "files/filecheck.h"
#include "join/segmentjoiner.h"
#include "join/streaminspector.h"
#include "parts/partsfolder.h"
#include "process/signalwatcher.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include <atomic>
#include <numeric>
#include <cstdio>

#include <sysexits.h>

namespace {

void printLine(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

int failWith(int status, const QString &text)
{
    printLine(QStringLiteral("morlunex-cli: ") + text);
    return status;
}

// A record is small (a segment's pictures' times and report rows); a larger file beside a
// segment is something else.
constexpr qint64 kMaxRecordBytes = 256 << 20;

const QRegularExpression &partName()
{
    static const QRegularExpression named(QStringLiteral("^part_([0-9]+)\\.265$"));
    return named;
}

// What the job's record beside a segment states (part_<first>.json for part_<first>.265,
// written by the job when the segment was finished, after every picture of it was checked).
struct Record
{
    QString path;
    qint64 bytes = -1;
    QByteArray sha256;     // of the segment's bytes, in hex
};

// The record of a segment; false where there is none: no such file, or one of another kind (a
// quality report of that name, a record of another segment).
bool readRecord(const QString &segment, Record *found)
{
    const QFileInfo info(segment);
    const QRegularExpressionMatch match = partName().match(info.fileName());
    if (!match.hasMatch())
        return false;
    // Named as the segment was given, in the same folder: part_<first>.265 less its suffix.
    const QString record = segment.chopped(4) + QStringLiteral(".json");
    QFile file(record);
    if (file.size() > kMaxRecordBytes || !file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonValue bytes = object.value(QStringLiteral("bytes"));
    const QJsonValue first = object.value(QStringLiteral("first_picture"));
    const QJsonValue sha256 = object.value(QStringLiteral("sha256"));
    if (!bytes.isDouble() || !first.isDouble() || !object.value(QStringLiteral("pictures")).isDouble()
        || !sha256.isString() || qint64(first.toDouble()) != match.captured(1).toLongLong())
        return false;
    found->path = record;
    found->bytes = qint64(bytes.toDouble());
    found->sha256 = sha256.toString().toLatin1();
    return true;
}

// Why a segment cannot be joined as it is: "the segment ... is not whole: ..." for a segment
// whose end is missing, "the segment ... is damaged: ..." for one with a picture that fails
// its decoded picture hash or its decode; empty when it is whole and sound. A segment with a
// record beside it must hold the bytes the record states (its pictures were checked when the
// record was written: a job's parts join without decoding); any other has every picture
// checked by its codec. A segment that does not even open like a segment is left to the join,
// which says what is wrong with it.
QString segmentProblem(const QString &segment, const QString &encoder, const std::atomic_bool &stop)
{
    const auto notWhole = [&segment](const QString &why) {
        return QStringLiteral("the segment %1 is not whole: %2").arg(segment, why);
    };
    const auto damaged = [&segment](const QString &why) {
        return QStringLiteral("the segment %1 is damaged: %2").arg(segment, why);
    };
    const Codec &codec = Codecs::of(segment);
    const Codec::Tools tools = Codecs::toolsFor(codec, encoder);
    Record record;
    if (readRecord(segment, &record)) {
        const qint64 size = QFileInfo(segment).size();
        if (size != record.bytes)
            return notWhole(QStringLiteral("it holds %1 bytes, but its record %2 states %3: %4")
                                .arg(size).arg(record.path).arg(record.bytes)
                                .arg(size < record.bytes ? QStringLiteral("its end is missing")
                                                         : QStringLiteral("it was changed after its record was written")));
        QString unread;
        const QByteArray sha256 = PartsFolder::fileHash(segment, &unread);
        if (sha256 == record.sha256 || stop)
            return QString();
        // Changed since it was checked: its pictures tell where, where they can.
        const Codec::PictureCheck pictures = codec.checkPictures(segment, tools, &stop);
        if (pictures.verdict == Codec::PictureCheck::Damaged || pictures.verdict == Codec::PictureCheck::Cut)
            return damaged(pictures.problem);
        return damaged(unread.isEmpty() ? QStringLiteral("its bytes are not those its record %1 states (their SHA-256 "
                                                         "differs): it was changed after its record was written")
                                              .arg(record.path)
                                        : unread);
    }
    const StreamSummary head = StreamInspector::inspect(segment, 1);
    if (!head.problem.isEmpty() || !head.opensWithParameterSets || !head.opensWithRandomAccess)
        return QString();
    const Codec::PictureCheck pictures = codec.checkPictures(segment, tools, &stop);
    switch (pictures.verdict) {
    case Codec::PictureCheck::Cut:
        return notWhole(pictures.problem);
    case Codec::PictureCheck::Damaged:
        return damaged(pictures.problem);
    case Codec::PictureCheck::Sound:
    case Codec::PictureCheck::Stopped:
        break;
    }
    return QString();
}

// The first picture that each segment's name gives (part_<first>.265), -1 for a segment not
// so named; empty, with why, when a name gives a number out of range.
QList<qint64> namedFirsts(const QStringList &segments, QString *problem)
{
    QList<qint64> firsts;
    for (const QString &segment : segments) {
        const QRegularExpressionMatch match = partName().match(QFileInfo(segment).fileName());
        bool inRange = true;
        firsts << (match.hasMatch() ? match.captured(1).toLongLong(&inRange) : -1);
        if (!inRange) {
            *problem = QStringLiteral("the segment %1 names its first picture %2, a number out of range")
                           .arg(segment, match.captured(1));
            return {};
        }
    }
    return firsts;
}

// Whether the segments make one whole: each is whole and sound (see segmentProblem) and holds
// the pictures from the first its name gives up to the next one's, or one picture more (the next
// one's first, coded twice: that seam is to be exact). Empty when they do, else why not;
// seams gets how each seam is to be joined. Segments not named after their first picture
// are looked at for such an overlap when they are joined.
QString checkWhole(const QStringList &segments, const QString &encoder, const std::atomic_bool &stop,
                   QList<SegmentJoiner::Seam> *seams,
                   QList<qint64> *counts)
{
    QString misnamed;
    const QList<qint64> firsts = namedFirsts(segments, &misnamed);
    if (!misnamed.isEmpty())
        return misnamed;
    QSet<QString> checked;
    for (const QString &segment : segments) {
        if (stop)
            return QString();
        if (checked.contains(QFileInfo(segment).absoluteFilePath()))
            continue;
        checked.insert(QFileInfo(segment).absoluteFilePath());
        const QString problem = segmentProblem(segment, encoder, stop);
        if (!problem.isEmpty())
            return problem;
    }
    const bool allNamed = !firsts.contains(-1);
    for (int i = 0; i + 1 < segments.size(); ++i)
        *seams << (allNamed ? SegmentJoiner::Seam::Closed : SegmentJoiner::Seam::Detect);
    // Counting means reading every segment through: only when there is something to check.
    if (!allNamed && counts == nullptr)
        return QString();
    QList<qint64> found;
    for (const QString &segment : segments) {
        if (stop)
            return QString();
        found << StreamInspector::inspect(segment).pictures;
    }
    if (counts)
        *counts = found;
    if (!allNamed)
        return QString();
    for (int i = 0; i + 1 < segments.size(); ++i) {
        const qint64 end = firsts.at(i) + found.at(i);
        const qint64 next = firsts.at(i + 1);
        if (end < next)
            return QStringLiteral("the segments are not complete: pictures %1 to %2 are missing between %3 and %4")
                .arg(end).arg(next - 1).arg(segments.at(i), segments.at(i + 1));
        if (end == next + 1)
            (*seams)[i] = SegmentJoiner::Seam::Overlap;
        else if (end > next)
            return QStringLiteral("the segments overlap: %1 holds pictures %2 to %3, and %4 starts at picture %5")
                .arg(segments.at(i)).arg(firsts.at(i)).arg(end - 1).arg(segments.at(i + 1)).arg(next);
    }
    return QString();
}

// The notes on seams that look like a picture coded twice yet are joined closed.
QStringList seamNotes(const QStringList &segments, const JoinResult &result)
{
    QStringList notes;
    for (int i = 0; i < result.seams.size(); ++i) {
        const SeamVerdict &seam = result.seams.at(i);
        if (seam.kind == SeamVerdict::Closed && !seam.reason.isEmpty())
            notes << QStringLiteral("the last picture of %1 and the first of %2 are both intra pictures, but not "
                                    "one picture coded twice (%3): both are kept")
                         .arg(segments.at(i), segments.at(i + 1), seam.reason);
    }
    return notes;
}

// What is checked before any segment is read: EX_OK when the join may go on, else the status
// it ended with, having said why.
int refusal(const QString &output, const QStringList &segments, bool overwrite)
{
    for (const QString &segment : segments) {
        const QString reason = FileCheck::regularFileProblem(segment);
        if (!reason.isEmpty())
            return failWith(EX_NOINPUT, QStringLiteral("cannot read the segment %1: %2").arg(segment, reason));
    }
    const QString reason = FileCheck::writeProblem(output);
    if (!reason.isEmpty())
        return failWith(EX_CANTCREAT, QStringLiteral("cannot write the output %1: %2").arg(output, reason));
    for (int i = 0; i < segments.size(); ++i) {
        if (FileCheck::sameFile(output, segments.at(i)))
            return failWith(EX_CANTCREAT, QStringLiteral("the output %1 is segment %2 itself; nothing was "
                                                         "changed").arg(output).arg(i + 1));
    }
    if (!overwrite && QFileInfo::exists(output))
        return failWith(EX_CANTCREAT, QStringLiteral("the output %1 exists; nothing was changed (give "
                                                     "--overwrite to replace it)").arg(output));

    return EX_OK;
}

// A join that failed: the status, having said why, and how to mend a seam not proven.
int failure(const JoinResult &result, const QStringList &segments)
{
    QString said = result.error;
    for (int i = 0; i < result.seams.size(); ++i) {
        if (result.seams.at(i).kind == SeamVerdict::NotProven) {
            said += QStringLiteral("; nothing was written (encode %1 again without its last picture to join "
                                   "that seam as two separate segments)").arg(segments.at(i));
            break;
        }
    }
    return failWith(result.outputFailed ? EX_IOERR : EX_DATAERR, said);
}

// What the check of the segments and their join came to.
struct Joined
{
    QString incomplete;      // why the segments do not make one whole; nothing was written
    JoinResult result;
    QStringList notes;       // on seams that looked exact and were joined closed
};

Joined checkAndJoin(const QString &output, const QStringList &segments, const QString &encoder, qint64 expected,
                    const std::atomic_bool &stop)
{
    Joined joined;
    QList<SegmentJoiner::Seam> seams;
    QList<qint64> counts;
    joined.incomplete = checkWhole(segments, encoder, stop, &seams, expected >= 0 ? &counts : nullptr);
    if (!joined.incomplete.isEmpty() || stop)
        return joined;
    const Codec &codec = Codecs::of(segments.isEmpty() ? QString() : segments.first());
    const Codec::Tools tools = Codecs::toolsFor(codec, encoder);
    SegmentJoiner joiner(output, segments, seams, &stop, tools);
    joined.result = joiner.prepare();
    if (!joined.result.ok)
        return joined;
    joined.notes = seamNotes(segments, joined.result);
    if (codec.libavName().isEmpty() && tools.decoder.isEmpty())
        joined.notes << QStringLiteral("the %1 segments were checked without decoding them: FFmpeg here reads no %1 "
                                       "and no %1 decoder was found (give -e with the encoder program beside which "
                                       "it lies)").arg(codec.name());
    // Each exact seam drops the later segment's copy of its first picture.
    const qint64 total = std::accumulate(counts.begin(), counts.end(), qint64(0)) - joined.result.exactSeams();
    if (expected >= 0 && total != expected)
        joined.incomplete = QStringLiteral("the segments hold %1 pictures, not the %2 expected").arg(total).arg(expected);
    else
        joined.result = joiner.write();
    return joined;
}

} // namespace

int JoinCommand::run(const QString &output, const QStringList &segments, const QString &encoder, bool quiet,
                     bool overwrite, qint64 expected)
{
    if (const int refused = refusal(output, segments, overwrite); refused != EX_OK)
        return refused;

    // The join runs on a thread of its own while this one waits in its event loop, so that
    // SIGINT, SIGTERM and SIGHUP are acted on at once: the join stops between two chunks and
    // leaves nothing behind.
    std::atomic_bool stop{false};
    int caught = 0;
    QEventLoop loop;
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::caught, [&](int signalNumber) {
        if (caught == 0)
            caught = signalNumber;
        stop = true;
    });
    Joined joined;
    QThread *worker = QThread::create([&] { joined = checkAndJoin(output, segments, encoder, expected, stop); });
    QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();
    delete worker;

    const JoinResult &result = joined.result;
    if (!joined.incomplete.isEmpty())
        return failWith(EX_DATAERR, joined.incomplete + QStringLiteral("; nothing was written"));
    if (caught != 0 && !result.ok)
        return failWith(128 + caught, QStringLiteral("stopped by signal %1; %2 was not written")
                                          .arg(caught).arg(output));
    if (!result.ok)
        return failure(result, segments);
    if (caught != 0)
        return failWith(128 + caught, QStringLiteral("interrupted by signal %1 after the join was "
                                                     "complete; %2 is whole").arg(caught).arg(output));
    if (!quiet) {
        for (const QString &note : joined.notes)
            printLine(QStringLiteral("morlunex-cli: note: ") + note);
        const int exact = result.exactSeams();
        printLine(QStringLiteral("Joined %1 segments into %2.").arg(result.segments).arg(output)
                  + (exact == 0 ? QString()
                     : QStringLiteral(" %1 of %2 seams exact: the later segment's copy of the picture at the seam "
                                      "was proven the same and dropped, and nothing else changed but the "
                                      "picture order counts.").arg(exact).arg(result.seams.size())));
    }
    return EX_OK;
}
