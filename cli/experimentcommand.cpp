#include "experimentcommand.h"

#include "experiment/experimentfolder.h"
#include "experiment/resultsfiles.h"
#include "experimentrun/resultswriter.h"
#include "process/childcpu.h"
#include "report/qualityreport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <cstring>

#include <sysexits.h>

namespace {

// The exit status of an experiment in which cells failed: the others are done.
constexpr int cellsFailedStatus = 1;

void writeError(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

// A figure with this many decimals, as the nearest double (printed without noise).
double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

} // namespace

ExperimentCommand::ExperimentCommand(const CliOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
{
    connect(&watcher, &SignalWatcher::caught, this, &ExperimentCommand::onSignal);
}

ExperimentCommand::~ExperimentCommand() = default;

bool ExperimentCommand::wanted(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--experiment") == 0 || std::strncmp(argv[i], "--experiment=", 13) == 0)
            return true;
    return false;
}

std::unique_ptr<QCoreApplication> ExperimentCommand::application(int &argc, char **argv)
{
    // Qt GUI looks for a runtime folder as it starts, and makes one in the temporary folder
    // where none is set (a batch job, a root shell), which would stay behind: a private one is
    // lent for the start instead, and removed.
    std::unique_ptr<QTemporaryDir> runtime;
    if (!qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")) {
        runtime = std::make_unique<QTemporaryDir>();
        if (runtime->isValid())
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime->path()));
    }
    // Set for the application object only: the encoders and decoders it starts inherit none.
    const QByteArray before = qgetenv("QT_QPA_PLATFORM");
    const bool had = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    auto app = std::make_unique<QGuiApplication>(argc, argv);
    if (had)
        qputenv("QT_QPA_PLATFORM", before);
    else
        qunsetenv("QT_QPA_PLATFORM");
    if (runtime)
        qunsetenv("XDG_RUNTIME_DIR");
    return app;
}

void ExperimentCommand::start()
{
    clock.start();
    if (!plan.read(options.experimentPlan())) {
        end(plan.status(), plan.error());
        return;
    }
    if (!findReference())
        return;
    if (options.resultsOnly()) {
        writeResultsOnly();
        return;
    }
    runner = std::make_unique<ExperimentRunner>(plan, options.settings().parallelEncoders);
    connect(runner.get(), qOverload<const ExperimentRunner::Event &>(&ExperimentRunner::event), this,
            &ExperimentCommand::onEvent);
    connect(runner.get(), &ExperimentRunner::finished, this, &ExperimentCommand::onFinished);
    QString problem;
    if (!runner->start(&problem)) {
        end(EX_CANTCREAT, problem);
        return;
    }
    const int done = runner->doneCount();
    if (options.progress() == CliOptions::ProgressJson)
        printJson({{"event", "start"}, {"encoders", options.settings().parallelEncoders}, {"folder", plan.folder()}});
    else if (!options.quiet())
        printLine(QStringLiteral("Experiment %1: %2 sequence%3 × %4 configurations × %5 QPs, %6 cells%7, %8 encoder%9; "
                                 "results in %10.")
                      .arg(plan.name()).arg(plan.sequences().size()).arg(plan.sequences().size() == 1 ? "" : "s")
                      .arg(plan.configurations().size()).arg(plan.qps().size()).arg(plan.cellCount())
                      .arg(done > 0 ? QStringLiteral(" (%1 done already)").arg(done) : QString())
                      .arg(options.settings().parallelEncoders).arg(options.settings().parallelEncoders == 1 ? "" : "s")
                      .arg(QDir::toNativeSeparators(plan.folder())));
}

void ExperimentCommand::writeResultsOnly()
{
    if (!QFileInfo(plan.folder()).isDir()) {
        end(EX_NOINPUT, QStringLiteral("%1 holds no results yet: the folder %2 is not there")
                            .arg(plan.path(), QDir::toNativeSeparators(plan.folder())));
        return;
    }
    const QString notOurs = ExperimentFolder::take(plan, false);
    if (!notOurs.isEmpty()) {
        end(EX_CANTCREAT, notOurs);
        return;
    }
    resultsOnly = std::make_unique<ResultsWriter>(plan);
    connect(resultsOnly.get(), &ResultsWriter::written, this, [this](const QString &problem) {
        const QString unwritten = problem.isEmpty() ? writeComparison(resultsOnly->results()) : problem;
        if (!unwritten.isEmpty()) {
            end(EX_IOERR, unwritten);
            return;
        }
        printSummary(*resultsOnly);
        const int failed = resultsOnly->results().failed;
        end(failed > 0 ? cellsFailedStatus : EX_OK,
            failed > 0 ? QStringLiteral("%1 cell%2 failed").arg(failed).arg(failed == 1 ? "" : "s") : QString());
    });
    resultsOnly->request();
}

QString ExperimentCommand::timeLeft() const
{
    const double left = runner->secondsLeft();
    return left < 0 ? QString() : QStringLiteral(" (%1 left)").arg(QualityReport::clockText(left));
}

void ExperimentCommand::onEvent(const ExperimentRunner::Event &event)
{
    const int total = runner->cellCount();
    if (options.progress() == CliOptions::ProgressJson) {
        static const char *kinds[] = {"started", "done", "failed", "note"};
        QJsonObject object{{"event", kinds[event.kind]}};
        if (event.cell >= 0)
            object.insert(QStringLiteral("cell"), runner->label(event.cell));
        if (event.kind == ExperimentRunner::Event::Done) {
            object.insert(QStringLiteral("rate_kbps"), rounded(event.kbitPerSecond, 2));
            object.insert(QStringLiteral("psnr_y"), rounded(event.psnrY, 4));
            object.insert(QStringLiteral("encoder_cpu_s"), rounded(event.encoderSeconds, 2));
        }
        if (!event.text.isEmpty())
            object.insert(QStringLiteral("text"), event.text);
        printJson(object);
        return;
    }
    const bool showProgress = options.progress() == CliOptions::ProgressText;
    switch (event.kind) {
    case ExperimentRunner::Event::Started:
        break;
    case ExperimentRunner::Event::Done: {
        if (!showProgress)
            break;
        const QLocale numbers(QLocale::English, QLocale::UnitedStates);
        printLine(QStringLiteral("done %1/%2: %3 %4 kbit/s %5 dB, %6%7")
                      .arg(runner->doneCount()).arg(total).arg(runner->label(event.cell))
                      .arg(numbers.toString(event.kbitPerSecond, 'f', 1)).arg(event.psnrY, 0, 'f', 2)
                      .arg(QualityReport::clockText(event.encoderSeconds), timeLeft()));
        break;
    }
    case ExperimentRunner::Event::Failed:
        printLine(QStringLiteral("morlunex-cli: %1 failed: %2").arg(runner->label(event.cell), event.text));
        break;
    case ExperimentRunner::Event::Note:
        if (!options.quiet())
            printLine(event.text);
        break;
    }
}

void ExperimentCommand::onFinished()
{
    const ResultsWriter &writer = runner->results();
    const int failed = writer.results().failed;
    QString unwritten = runner->writeFailure();
    if (caughtSignal == 0 && unwritten.isEmpty())
        unwritten = writeComparison(writer.results());
    int status = caughtSignal != 0 ? 128 + caughtSignal
                 : !unwritten.isEmpty() ? EX_IOERR
                 : failed > 0 ? cellsFailedStatus
                 : EX_OK;
    QString failure;
    if (caughtSignal != 0)
        failure = QStringLiteral("stopped; %1 of %2 cells are done: run the same command again to go on")
                      .arg(writer.results().done).arg(writer.results().total);
    else if (!unwritten.isEmpty())
        failure = QStringLiteral("%1; %2 of %3 cells are done and kept: make room and run the same command again")
                      .arg(unwritten).arg(writer.results().done).arg(writer.results().total);
    else if (failed > 0)
        failure = QStringLiteral("%1 cell%2 failed (see %3)")
                      .arg(failed).arg(failed == 1 ? "" : "s")
                      .arg(QDir::toNativeSeparators(plan.folder() + QStringLiteral("/results.md")));
    if (options.progress() == CliOptions::ProgressJson)
        printJson({{"event", "final"},
                   {"final", true},
                   {"status", status},
                   {"runner_cpu_s", rounded(ChildCpu::ownSeconds(), 3)},
                   {"results", plan.folder() + QStringLiteral("/results.md")}});
    if (caughtSignal == 0)
        printSummary(writer);
    end(status, failure);
}

// --anchor NAME: the configuration the tables are taken against besides the plan's anchor.
bool ExperimentCommand::findReference()
{
    reference = plan.anchorIndex();
    const QString &name = options.comparisonAnchor();
    if (name.isEmpty())
        return true;
    QStringList names;
    for (int c = 0; c < plan.configurations().size(); ++c) {
        if (plan.configurations().at(c).name == name) {
            reference = c;
            return true;
        }
        names << plan.configurations().at(c).name;
    }
    end(EX_USAGE, QStringLiteral("%1: --anchor %2 is none of the plan's configurations (%3)")
                      .arg(plan.path(), name, names.join(QStringLiteral(", "))));
    return false;
}

// The tables against --anchor's configuration, when it is not the plan's anchor, whose tables
// the results writer keeps.
QString ExperimentCommand::writeComparison(const ExperimentResults &results)
{
    if (reference == plan.anchorIndex())
        return QString();
    return ResultsFiles::writeTables(plan, results, results.against(plan, reference));
}

// The table is the experiment's result, printed also under -q; the line after it is a message.
void ExperimentCommand::printSummary(const ResultsWriter &writer)
{
    const ExperimentResults &results = writer.results();
    const ResultsTable table = reference == plan.anchorIndex() ? results.table : results.against(plan, reference);
    const QByteArray text = ResultsFiles::summary(plan, results, table).toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
    const QString comparison = reference == plan.anchorIndex()
                                   ? QString()
                                   : QStringLiteral("; %1.md, .csv, .json").arg(ResultsFiles::baseName(plan, table));
    if (!options.quiet())
        printLine(QStringLiteral("%1 of %2 cells done; results in %3 (results.md, .csv, .json%4; plots/).")
                      .arg(results.done).arg(results.total)
                      .arg(QDir::toNativeSeparators(plan.folder()), comparison));
}

void ExperimentCommand::onSignal(int signalNumber)
{
    if (ended)
        return;
    const bool first = caughtSignal == 0;
    if (first)
        caughtSignal = signalNumber;
    if (runner && first) {
        runner->stop();
        return;
    }
    // Asked twice, or nothing runs yet: end now; the runner's jobs are ended as it goes.
    runner.reset();
    end(128 + caughtSignal, QStringLiteral("stopped by signal %1").arg(caughtSignal));
}

void ExperimentCommand::end(int status, const QString &failure)
{
    if (ended)
        return;
    ended = true;
    if (!failure.isEmpty())
        printLine(QStringLiteral("morlunex-cli: ") + failure);
    QCoreApplication::exit(status);
}

void ExperimentCommand::printLine(const QString &line)
{
    writeError(line.toLocal8Bit() + '\n');
}

void ExperimentCommand::printJson(QJsonObject object)
{
    if (runner) {
        object.insert(QStringLiteral("done"), runner->doneCount());
        object.insert(QStringLiteral("failed"), runner->failedCount());
        object.insert(QStringLiteral("total"), runner->cellCount());
        QJsonArray running;
        for (const ExperimentRunner::Holder &holder : runner->running())
            running.append(QJsonObject{{"cell", runner->label(holder.cell)}, {"host", holder.host}});
        object.insert(QStringLiteral("running"), running);
        const double left = runner->secondsLeft();
        object.insert(QStringLiteral("eta_s"), left < 0 ? QJsonValue() : QJsonValue(rounded(left, 1)));
    }
    object.insert(QStringLiteral("elapsed_s"), rounded(clock.elapsed() / 1000.0, 2));
    writeError(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}
