// What the digests of a cell's bitstream and report cost.
//
//   cell_digest_bench cells PLAN_JSON
//       on the plan's folder of finished cells (written by experiment_view_bench make), reads
//       every cell as the runner and the view do (CellStanding::of), in turns: with the digests
//       their records keep ("cell_read_digests_s"), and with those records rewritten as an
//       earlier version wrote them, without digests ("cell_read_plain_s"), each the median of
//       seven turns, in CPU time so that other work on the machine weighs little; their ratio
//       ("cell_read_digest_ratio", target <= 1.2); then, every bitstream and report touched, the
//       first read, which reads every file again ("cell_read_touched_s"). The records are left
//       with digests of the files as they are.
//   cell_digest_bench file PATH
//       the digest of one file, read whole ("file_digest_s"), and the look at its stamp that
//       stands for it while the file is not touched ("file_stamp_check_s", the median of 1001).

#include "experiment/cellrecord.h"
#include "experiment/experimentplan.h"
#include "files/filedigest.h"
#include "files/jsonfile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <ctime>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

// The CPU time the work takes.
double timed(const std::function<void()> &work)
{
    const double start = cpuSeconds();
    work();
    return cpuSeconds() - start;
}

// The record of the i-th cell, sequence by sequence, configuration by configuration, QP by QP.
QString recordPath(const ExperimentPlan &plan, size_t i)
{
    const qsizetype qps = plan.qps().size(), configurations = plan.configurations().size();
    const int s = int(i / size_t(qps * configurations)), c = int(i / size_t(qps) % size_t(configurations));
    return CellFiles::of(plan, s, c, plan.qps().at(qsizetype(i % size_t(qps)))).record;
}

// Reads every cell's standing; false (and says so) unless every one is done.
bool readAll(const ExperimentPlan &plan, double *seconds)
{
    int done = 0, cells = 0;
    *seconds = timed([&] {
        for (int s = 0; s < plan.sequences().size(); ++s)
            for (int c = 0; c < plan.configurations().size(); ++c)
                for (int qp : plan.qps()) {
                    QString problem;
                    const CellSources sources = CellSources::of(plan, s, c, qp, &problem);
                    const CellStanding standing = CellStanding::of(CellFiles::of(plan, s, c, qp), sources,
                                                                   plan.configurations().at(c).decoder);
                    done += standing.kind == CellStanding::Done ? 1 : 0;
                    ++cells;
                }
    });
    if (done != cells)
        std::fprintf(stderr, "%d of %d cells are done\n", done, cells);
    return done == cells && cells > 0;
}

// Every record rewritten with its digests (withDigests) or without them; with fresh digests of
// the files as they are (fresh).
bool rewriteRecords(const ExperimentPlan &plan, const std::vector<QJsonObject> &records, bool withDigests,
                    bool fresh = false)
{
    size_t i = 0;
    for (int s = 0; s < plan.sequences().size(); ++s)
        for (int c = 0; c < plan.configurations().size(); ++c)
            for (int qp : plan.qps()) {
                const CellFiles files = CellFiles::of(plan, s, c, qp);
                QJsonObject record = records.at(i++);
                QString problem;
                if (!withDigests) {
                    record.remove(QStringLiteral("bitstream_digest"));
                    record.remove(QStringLiteral("report_digest"));
                } else if (fresh) {
                    CellRecord digested = CellRecord::fromJson(record);
                    problem = digested.takeDigests(files);
                    record = digested.toJson();
                }
                if (problem.isEmpty())
                    problem = JsonFile::write(files.record, record);
                if (!problem.isEmpty()) {
                    std::fprintf(stderr, "%s\n", qPrintable(problem));
                    return false;
                }
            }
    return true;
}

int cells(const ExperimentPlan &plan)
{
    std::vector<QJsonObject> records;
    for (int s = 0; s < plan.sequences().size(); ++s)
        for (int c = 0; c < plan.configurations().size(); ++c)
            for (int qp : plan.qps()) {
                QJsonObject record;
                QString problem;
                if (!JsonFile::read(CellFiles::of(plan, s, c, qp).record, &record, &problem)
                    || !record.contains(QStringLiteral("bitstream_digest"))) {
                    std::fprintf(stderr, "no record with digests for a cell: %s\n", qPrintable(problem));
                    return 1;
                }
                records.push_back(record);
            }
    // Digests of the files as they are, so that the turns with digests read no file whole.
    double warm = 0;
    if (!rewriteRecords(plan, records, true, true) || !readAll(plan, &warm))
        return 1;
    for (size_t i = 0; i < records.size(); ++i) {
        QString problem;
        if (!JsonFile::read(recordPath(plan, i), &records[i], &problem))
            return 1;
    }
    std::vector<double> digestTurns, plainTurns;
    for (int turn = 0; turn < 7; ++turn) {
        double digests = 0, plain = 0;
        if (!rewriteRecords(plan, records, true) || !readAll(plan, &digests) || !rewriteRecords(plan, records, false)
            || !readAll(plan, &plain))
            return 1;
        digestTurns.push_back(digests);
        plainTurns.push_back(plain);
    }
    const double digests = median(digestTurns), plain = median(plainTurns);
    double touched = 0;
    if (!rewriteRecords(plan, records, true))
        return 1;
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = 0; s < plan.sequences().size(); ++s)
        for (int c = 0; c < plan.configurations().size(); ++c)
            for (int qp : plan.qps()) {
                const CellFiles files = CellFiles::of(plan, s, c, qp);
                for (const QString &path : {files.bitstream, files.report}) {
                    QFile file(path);
                    if (!file.open(QIODevice::ReadWrite) || !file.setFileTime(now, QFileDevice::FileModificationTime))
                        return 1;
                }
            }
    if (!readAll(plan, &touched) || !rewriteRecords(plan, records, true, true))
        return 1;
    std::printf("cell_read_cells %lld\ncell_read_digests_s %.4f\ncell_read_plain_s %.4f\n"
                "cell_read_digest_ratio %.3f\ncell_read_touched_s %.4f\n",
                static_cast<long long>(records.size()), digests, plain, digests / plain, touched);
    return 0;
}

int file(const QString &path)
{
    QString problem;
    FileDigest digest;
    QElapsedTimer clock;
    clock.start();
    digest = FileDigest::of(path, &problem);
    const double read = clock.nsecsElapsed() / 1e9;
    if (!digest.taken()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return 1;
    }
    std::vector<double> looks(1001);
    for (double &look : looks)
        look = timed([&] { digest.check(path, &problem); });
    std::printf("file_digest_bytes %lld\nfile_digest_s %.4f\nfile_stamp_check_s %.7f\n",
                static_cast<long long>(digest.size), read, median(looks));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 3 || !QStringList{"cells", "file"}.contains(arguments.at(1))) {
        std::fprintf(stderr, "usage: cell_digest_bench cells PLAN_JSON | file PATH\n");
        return 64;
    }
    if (arguments.at(1) == QLatin1String("file"))
        return file(arguments.at(2));
    ExperimentPlan plan;
    if (!plan.read(arguments.at(2))) {
        std::fprintf(stderr, "%s\n", qPrintable(plan.error()));
        return plan.status();
    }
    return cells(plan);
}
