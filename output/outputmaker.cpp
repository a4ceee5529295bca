#include "outputmaker.h"

#include "bitstream/librarylog.h"
#include "codecs/codecs.h"
#include "files/pathtext.h"
#include "files/replacefile.h"
#include "join/segmentjoiner.h"
#include "join/streaminspector.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace {

// How long processes that still write into the encoder's file after it exited (its children)
// are waited for before the file is left as it is.
constexpr int writersGraceMs = 3000;

using PathText::native;

// One encoder's own file: written in this run, no writer left, a picture in it. Sets the
// outcome and says why when it is not so.
void checkWritten(const OutputGuard::Stamp &before, const QString &bitstream, OutputResult *result)
{
    const QString shown = native(bitstream);
    // The encoder has gone, but a process it started may still be writing: a file replaced
    // under it would lose whatever it writes afterwards.
    const QList<qint64> writers = OutputGuard::waitForWriters(bitstream, writersGraceMs);
    if (!writers.isEmpty()) {
        QStringList numbers;
        for (qint64 pid : writers)
            numbers << QString::number(pid);
        result->lines << QStringLiteral("The output was left as the encoder wrote it: %1 is still open for "
                                        "writing by process %2 after the encoder exited.")
                             .arg(shown, numbers.join(QStringLiteral(", ")));
        result->outcome = OutputResult::LeftAsIs;
        return;
    }
    result->outcome = OutputResult::Unwritten;
    if (!OutputGuard::changedSince(before, bitstream)) {
        result->problem = before.exists
            ? QStringLiteral("The encoder exited with 0 but did not write the output file %1: it is as it was "
                             "before the encoder started, so it is not the result of this encode.").arg(shown)
            : QStringLiteral("The encoder exited with 0 but wrote no output file: %1 does not exist.").arg(shown);
        return;
    }
    const StreamSummary summary = StreamInspector::inspect(bitstream, 1);
    if (summary.pictures == 0) {
        result->problem = QStringLiteral("The encoder exited with 0 but the output file %1 holds no picture%2.")
                              .arg(shown, summary.problem.isEmpty() ? QString()
                                                                   : QStringLiteral(" (%1)").arg(summary.problem));
        return;
    }
    result->outcome = OutputResult::Made;
}

void rewrite(const QString &bitstream, const OutputFacts &facts, OutputResult *result)
{
    const Codec &codec = Codecs::of(bitstream);
    if (!codec.rewritesOutput()) {
        result->lines << QStringLiteral("The output was left as the encoder wrote it: the parameter sets of its %1 "
                                        "stream are not rewritten here, so it does not get what the rewrite of an "
                                        "HEVC output adds (the input's frame rate, sample aspect ratio, colour "
                                        "description and full-range flag in the VUI, and its HDR mastering display "
                                        "and content light level SEI messages); the size it shows is the "
                                        "encoder's conformance window.").arg(codec.name());
        return;
    }
    const RewriteResult rewritten = codec.rewriteOutput(bitstream, facts);
    if (rewritten.rewritten)
        result->lines << rewritten.summary;
    else if (!rewritten.error.isEmpty())
        result->lines << QStringLiteral("The output was left as the encoder wrote it: %1").arg(rewritten.error);
}

// The container: the bitstream goes once it is in, and stays under a name of its own when it
// cannot be.
void mux(const OutputRequest &request, const QString &bitstream, const std::atomic_bool *stop, OutputResult *result)
{
    const QString output = native(request.output);
    if (result->outcome == OutputResult::Unwritten) {
        result->kept = OutputMaker::keepBitstream(bitstream, request.output, true, &result->lines);
        return;
    }
    if (result->outcome == OutputResult::LeftAsIs) {
        result->outcome = OutputResult::MuxFailed;
        result->kept = OutputMaker::keepBitstream(bitstream, request.output, false, &result->lines);
        result->problem = QStringLiteral("%1 was not muxed: the encoder's bitstream was still being written.\n"
                                         "The encoded bitstream is kept as %2.").arg(output, native(result->kept));
        return;
    }
    MuxRequest container = *request.container;
    container.bitstream = bitstream;
    container.output = request.output;
    const MuxResult muxed = ContainerMuxer::mux(container, stop);
    result->lines << muxed.notes;
    if (muxed.ok) {
        QFile::remove(bitstream);
        result->lines << muxed.summary;
        return;
    }
    if (muxed.stopped) {
        result->outcome = OutputResult::Stopped;
        result->lines << QStringLiteral("Stopped before %1 was written.").arg(output);
        result->kept = OutputMaker::keepBitstream(bitstream, request.output, true, &result->lines);
        return;
    }
    // The failure's message says what went wrong and where the bitstream is: said once.
    result->outcome = OutputResult::MuxFailed;
    result->kept = OutputMaker::keepBitstream(bitstream, request.output, false, &result->lines);
    result->problem = QStringLiteral("%1.\nThe encoded bitstream is kept as %2.").arg(muxed.error, native(result->kept));
}

// The finished stream in the output's place in one step, looking to its owner as the old one did.
void replace(const QString &joined, const QString &output, OutputResult *result)
{
    struct stat old;
    if (::stat(QFile::encodeName(output).constData(), &old) == 0)
        ::chmod(QFile::encodeName(joined).constData(), old.st_mode & 07777);
    if (::rename(QFile::encodeName(joined).constData(), QFile::encodeName(output).constData()) != 0) {
        result->outcome = OutputResult::NotJoined;
        result->problem = QStringLiteral("Cannot put the joined stream in the place of %1: %2. It is kept as %3.")
                              .arg(native(output), QString::fromLocal8Bit(std::strerror(errno)), native(joined));
    }
}

} // namespace

OutputMaker::OutputMaker(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<OutputResult>();
}

OutputMaker::~OutputMaker()
{
    abort();
}

void OutputMaker::start(const OutputRequest &request)
{
    if (thread)
        return;
    stopRequested = false;
    auto result = std::make_shared<OutputResult>();
    thread = QThread::create([request, result, stop = &stopRequested] { *result = make(request, stop); });
    connect(thread, &QThread::finished, this, [this, result] {
        thread->deleteLater();
        thread = nullptr;
        emit finished(*result);
    });
    thread->start();
}

void OutputMaker::abort()
{
    if (!thread)
        return;
    stopRequested = true;
    thread->disconnect(this);
    thread->wait();
    delete thread;
    thread = nullptr;
}

OutputResult OutputMaker::make(const OutputRequest &request, const std::atomic_bool *stop)
{
    OutputResult result;
    // What the libraries say on the way comes first in the log.
    QStringList libraryLines;
    const LibraryLog::Scope scope([&libraryLines](const QString &line) { libraryLines << line; });
    const bool several = request.bitstreams.size() > 1;
    const QString bitstream = several ? request.joined : request.bitstreams.value(0);
    if (several) {
        const JoinResult join = SegmentJoiner::join(request.joined, request.bitstreams, nullptr, request.seams,
                                                    request.tools);
        result.seams = join.seams;
        if (!join.ok) {
            result.outcome = OutputResult::NotJoined;
            result.problem = join.error;
            result.lines = libraryLines;
            return result;
        }
        result.lines << QStringLiteral("Joined %1 segments.").arg(request.bitstreams.size());
        if (join.exactSeams() > 0 && join.exactSeams() == request.bitstreams.size() - 1)
            result.lines << QStringLiteral("Segments are joined seamlessly: every seam's picture was encoded twice "
                                           "and matched, and no GOP is cut.");
    }
    if (request.before)
        checkWritten(*request.before, bitstream, &result);
    if (result.outcome == OutputResult::Made)
        rewrite(bitstream, request.facts, &result);
    result.report = report(request, bitstream);
    result.reported = true;
    if (request.container) {
        mux(request, bitstream, stop, &result);
    } else if (QFileInfo(bitstream).absoluteFilePath() != QFileInfo(request.output).absoluteFilePath()) {
        replace(bitstream, request.output, &result);
        if (several && result.outcome == OutputResult::Made)
            result.lines.first() = QStringLiteral("Joined %1 segments into %2.")
                                       .arg(request.bitstreams.size()).arg(native(request.output));
    }
    result.lines = libraryLines + result.lines;
    return result;
}

QString OutputMaker::keepBitstream(const QString &bitstream, const QString &output, bool say, QStringList *lines)
{
    if (bitstream.isEmpty() || !QFileInfo::exists(bitstream))
        return QString();
    if (QFileInfo(bitstream).size() == 0) {
        QFile::remove(bitstream);
        return QString();
    }
    QString problem;
    QString kept = ReplaceFile::moveToFreeName(bitstream, QFileInfo(output).absoluteFilePath(), QStringLiteral(".265"),
                                               &problem);
    if (kept.isEmpty())
        kept = bitstream;
    if (say)
        *lines << QStringLiteral("The encoded bitstream is kept as %1.").arg(native(kept));
    return kept;
}

QualityReport OutputMaker::report(const OutputRequest &request, const QString &bitstream)
{
    QualityReport report;
    for (const OutputRequest::Rows &rows : request.rows)
        report.placeRows(rows.first, rows.rows);
    report.summarize(bitstream, request.frameRate, request.encodingSeconds, request.pictures, request.qp);
    // The summary measures the encoder's bitstream, and names the user's file.
    report.nameOutput(request.output);
    return report;
}
