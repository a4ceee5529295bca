#include "resultswriter.h"

#include "experiment/experimentplan.h"
#include "experiment/resultsfiles.h"
#include "files/replacefile.h"
#include "parts/partclaim.h"

#include <QFile>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How soon a write held up by another process's is tried again.
constexpr int retryMs = 200;

// The file whose modification time marks requests, by the folder's own clock (that of the
// file server where the folder is shared), and which holds the time it had when the last write
// began gathering, on a line of its own, then the cells that write gathered: a request marked
// before that time was served by that write, and takes its results from there instead of
// reading every cell's files again (with many processes ending together on one folder, that
// reading was most of their end).
QString servedPath(const ExperimentPlan &plan)
{
    return plan.folder() + QStringLiteral("/results.served");
}

qint64 nanoseconds(const struct stat &info)
{
    return qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// Marks a request now; the mark's time, -1 where it cannot be marked.
qint64 mark(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -1;
    struct stat info;
    const bool marked = ::futimens(fd, nullptr) == 0 && ::fstat(fd, &info) == 0;
    ::close(fd);
    return marked ? nanoseconds(info) : -1;
}

// The latest mark's time, -1 where there is none.
qint64 latestMark(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? nanoseconds(info) : -1;
}

} // namespace

ResultsWriter::ResultsWriter(const ExperimentPlan &plan, QObject *parent)
    : QObject(parent)
    , plan(plan)
{
    retry = new QTimer(this);
    retry->setSingleShot(true);
    connect(retry, &QTimer::timeout, this, &ResultsWriter::tryWrite);
}

void ResultsWriter::request(qint64 knownNs)
{
    wanted = true;
    askedNs = mark(servedPath(plan));
    // Never earlier than this process's start, so that a write it has not seen begin cannot serve.
    if (knownNs >= 0 && askedNs >= 0 && begunNs >= 0)
        askedNs = qMin(askedNs, qMax(knownNs, begunNs));
    if (!retry->isActive())
        tryWrite();
}

void ResultsWriter::begin()
{
    begunNs = mark(servedPath(plan));
}

void ResultsWriter::tryWrite()
{
    if (!wanted)
        return;
    // The file is replaced whole, so it is looked at without the claim: the processes that a
    // write served do not pass through the claim one at a time.
    if (std::optional<QByteArray> cells = servedCells()) {
        takeServed(*cells);
        return;
    }
    PartClaim claim(plan.folder() + QStringLiteral("/results.claim"));
    if (!claim.tryTake()) {
        if (!claim.error().isEmpty()) {
            wanted = false;
            emit written(claim.error());
            return;
        }
        retry->start(retryMs);
        return;
    }
    // Served by the write that held the claim until now.
    if (std::optional<QByteArray> cells = servedCells()) {
        claim.release();
        takeServed(*cells);
        return;
    }
    wanted = false;
    const qint64 gathering = latestMark(servedPath(plan));
    last = ExperimentResults::gather(plan);
    const QString problem = ResultsFiles::write(plan, last);
    if (problem.isEmpty() && gathering >= 0)
        ReplaceFile::writeWhole(servedPath(plan), QByteArray::number(gathering) + '\n' + last.toBytes(plan));
    claim.release();
    emit written(problem);
}

// A write by a version that kept no cells served the request too: they are gathered here.
void ResultsWriter::takeServed(const QByteArray &cells)
{
    wanted = false;
    std::optional<ExperimentResults> results = ExperimentResults::fromBytes(plan, cells);
    last = results ? std::move(*results) : ExperimentResults::gather(plan);
    emit written(QString());
}

// The cells kept by a write that began gathering after this process's request, strictly later:
// a mark in the same tick of the folder's clock as the look may have come after it. Nothing when
// no such write was made. The cells are read only then: a process that retries while another
// writes reads the first line alone.
std::optional<QByteArray> ResultsWriter::servedCells() const
{
    QFile file(servedPath(plan));
    if (askedNs < 0 || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const qint64 gathered = file.readLine(32).trimmed().toLongLong(&ok);
    if (!ok || gathered <= askedNs)
        return std::nullopt;
    return file.readAll();
}
