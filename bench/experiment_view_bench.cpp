// The experiment view's cost: how long it takes to a filled table, and its own CPU time while it
// follows an experiment that other processes run.
//
//   experiment_view_bench make PLAN_JSON
//       writes every cell of the plan as a run writes a finished one, with the record and report
//       writers of the experiment and the report, and a bitstream file of the report's size (no
//       encoding): a folder the view counts as done.
//   experiment_view_bench open PLAN_JSON
//       opens the view on the plan's folder; prints "experiment_view_open_s S", the time from
//       the view's making to a table that shows every cell, and "experiment_view_cells N".
//   experiment_view_bench huge PLAN_JSON
//       opens the view on a plan whose folder is not there yet and waits until the window has
//       shown its filled table; prints "experiment_view_huge_open_s S" (from before the view is
//       made to the shown table), "experiment_view_huge_cpu_s S" (this process's CPU time then),
//       "experiment_view_huge_maxrss_kb K" (its peak resident memory) and
//       "experiment_view_huge_cells N". Run on two plans of different sizes, the difference of
//       the peaks over that of the cells is what a cell costs.
//   experiment_view_bench follow PLAN_JSON
//       opens the view and waits until it shows every cell done or failed; prints
//       "experiment_view_cpu_s S" (this process's user and system time from the filled table
//       on: the following, not the program's start) and "experiment_view_wall_s S".

#include "experiment/cellrecord.h"
#include "experiment/experimentplan.h"
#include "experimentview/experimentview.h"
#include "report/qualityreport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cmath>
#include <cstdio>

#include <sys/resource.h>

namespace {

// A plausible report for the cell: PSNR falling and the bits shrinking as the QP rises.
QString writeCell(const ExperimentPlan &plan, int s, int c, int qp)
{
    QString problem;
    const CellSources sources = CellSources::of(plan, s, c, qp, &problem);
    if (!problem.isEmpty())
        return problem;
    const CellFiles files = CellFiles::of(plan, s, c, qp);
    if (!QDir().mkpath(QFileInfo(files.record).path()))
        return QStringLiteral("cannot make the folder of %1").arg(files.record);
    const qint64 pictures = plan.sequences().at(s).frames > 0 ? plan.sequences().at(s).frames : 16;
    QList<PictureRow> rows;
    qint64 bits = 0;
    for (qint64 i = 0; i < pictures; ++i) {
        PictureRow row;
        row.index = i;
        row.poc = int(i);
        row.type = i == 0 ? 'I' : 'B';
        row.qp = qp;
        row.bits = qint64(200000 * std::exp(-0.11 * qp) * (1 + 0.05 * c + 0.01 * s) * (i == 0 ? 4 : 1));
        row.psnrY = 60 - 0.6 * qp - 0.1 * c + 0.01 * i;
        row.psnrU = row.psnrY + 2;
        row.psnrV = row.psnrY + 2.5;
        bits += row.bits;
        rows << row;
    }
    QFile bitstream(files.bitstream);
    if (!bitstream.open(QIODevice::WriteOnly) || !bitstream.resize(bits / 8))
        return QStringLiteral("cannot write %1").arg(files.bitstream);
    bitstream.close();
    QualityReport report;
    report.placeRows(0, rows);
    report.summarize(files.bitstream, 25, 1.5 + c, pictures, qp);
    if (!report.save(files.report, &problem))
        return problem;
    CellRecord record = CellRecord::encoded(sources, files.bitstream, pictures, 1.5 + 0.5 * c + 0.1 * qp, false);
    problem = record.takeDigests(files);
    return problem.isEmpty() ? record.write(files.record) : problem;
}

int make(const ExperimentPlan &plan)
{
    for (int s = 0; s < plan.sequences().size(); ++s)
        for (int c = 0; c < plan.configurations().size(); ++c)
            for (int qp : plan.qps()) {
                const QString problem = writeCell(plan, s, c, qp);
                if (!problem.isEmpty()) {
                    std::fprintf(stderr, "%s\n", qPrintable(problem));
                    return 73;
                }
            }
    return 0;
}

bool settled(const ExperimentView &view)
{
    for (const CellState &cell : view.cells())
        if (cell.kind != CellState::Done && cell.kind != CellState::Failed)
            return false;
    return true;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long maxRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The window is usable once it has shown its filled table and has nothing more to do.
int huge(QApplication &app, const ExperimentPlan &plan)
{
    QElapsedTimer clock;
    clock.start();
    ExperimentView view(plan);
    view.show();
    QObject::connect(&view, &ExperimentView::tableFilled, &app, [&] { QTimer::singleShot(0, &app, &QApplication::quit); });
    app.exec();
    std::printf("experiment_view_huge_open_s %.3f\nexperiment_view_huge_cpu_s %.3f\nexperiment_view_huge_maxrss_kb %ld\n"
                "experiment_view_huge_cells %d\n",
                clock.nsecsElapsed() / 1e9, cpuSeconds(), maxRssKb(), int(view.cells().size()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    ExperimentPlan plan;
    if (arguments.size() != 3 || !QStringList{"make", "open", "huge", "follow"}.contains(arguments.at(1))) {
        std::fprintf(stderr, "usage: experiment_view_bench make|open|huge|follow PLAN_JSON\n");
        return 64;
    }
    if (!plan.read(arguments.at(2))) {
        std::fprintf(stderr, "%s\n", qPrintable(plan.error()));
        return plan.status();
    }
    if (arguments.at(1) == QLatin1String("make"))
        return make(plan);
    if (arguments.at(1) == QLatin1String("huge"))
        return huge(app, plan);

    QElapsedTimer clock;
    clock.start();
    const bool open = arguments.at(1) == QLatin1String("open");
    ExperimentView view(plan);
    view.show();
    double cpuAtFill = 0;
    QObject::connect(&view, &ExperimentView::tableFilled, &app, [&] {
        cpuAtFill = cpuSeconds();
        if (open) {
            std::printf("experiment_view_open_s %.3f\nexperiment_view_cells %d\n", clock.nsecsElapsed() / 1e9,
                        int(view.cells().size()));
            app.quit();
        }
    });
    if (!open) {
        auto *check = new QTimer(&view);
        QObject::connect(check, &QTimer::timeout, &app, [&] {
            if (view.filled() && settled(view))
                app.quit();
        });
        check->start(500);
    }
    app.exec();
    if (!open)
        std::printf("experiment_view_cpu_s %.3f\nexperiment_view_wall_s %.3f\n", cpuSeconds() - cpuAtFill,
                    clock.nsecsElapsed() / 1e9);
    return 0;
}
