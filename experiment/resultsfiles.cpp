#include "resultsfiles.h"

#include "experimentplan.h"
#include "experimentresults.h"
#include "rdplot.h"

#include "files/jsonfile.h"
#include "files/replacefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

const QString dash = QStringLiteral("–");

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

// Figures in the CSV and JSON files: as precise as --bd-rate's JSON gives them.
double rounded(double value)
{
    return std::round(value * 1e4) / 1e4;
}

QJsonValue jsonFigure(const std::optional<double> &value)
{
    return value ? QJsonValue(rounded(*value)) : QJsonValue();
}

QString csvFigure(const std::optional<double> &value)
{
    return value ? QString::number(rounded(*value)) : QString();
}

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

QString percent(const std::optional<double> &value, int decimals)
{
    return value ? number(*value, decimals) + QStringLiteral(" %") : dash;
}

QString stateName(CellFigures::State state)
{
    switch (state) {
    case CellFigures::Done:
        return QStringLiteral("done");
    case CellFigures::Failed:
        return QStringLiteral("failed");
    case CellFigures::Missing:
        break;
    }
    return QStringLiteral("missing");
}

const QString notAvailable = QStringLiteral("n/a");

QString configurationName(const ExperimentPlan &plan, int configuration)
{
    return plan.configurations().at(configuration).name;
}

QString averageName(const Comparison &row)
{
    return row.className.isEmpty() ? QStringLiteral("Overall") : QStringLiteral("Class ") + row.className;
}

// A row of a Markdown table; a bar inside a field (a name may hold one) would end the field.
QString tableRow(const QStringList &fields)
{
    QStringList escaped;
    for (const QString &field : fields)
        escaped << QString(field).replace(QLatin1Char('|'), QStringLiteral("\\|"));
    return QStringLiteral("| ") + escaped.join(QStringLiteral(" | ")) + QStringLiteral(" |\n");
}

QString comparisonFields(const Comparison &row, const QString &first, const QString &second)
{
    if (!row.comparable()) {
        const QString why = row.unavailable.isEmpty() ? notAvailable : notAvailable + QStringLiteral(": ") + row.unavailable;
        return tableRow({first, second, why, notAvailable, notAvailable, notAvailable, notAvailable, notAvailable});
    }
    const auto ratio = [](const std::optional<double> &value) {
        return percent(value ? std::optional<double>(*value * 100) : std::nullopt, 1);
    };
    return tableRow({first, second, percent(row.bdRate[Comparison::Y], 2), percent(row.bdRate[Comparison::U], 2),
                     percent(row.bdRate[Comparison::V], 2), percent(row.bdRate[Comparison::Yuv], 2), ratio(row.encT),
                     ratio(row.decT)});
}

QJsonObject comparisonJson(const ExperimentPlan &plan, const Comparison &row)
{
    QJsonObject object{{"configuration", configurationName(plan, row.configuration)},
                       {"class", row.className},
                       {"bd_rate_y", jsonFigure(row.bdRate[Comparison::Y])},
                       {"bd_rate_u", jsonFigure(row.bdRate[Comparison::U])},
                       {"bd_rate_v", jsonFigure(row.bdRate[Comparison::V])},
                       {"bd_rate_yuv", jsonFigure(row.bdRate[Comparison::Yuv])},
                       {"enc_t", jsonFigure(row.encT)},
                       {"dec_t", jsonFigure(row.decT)},
                       {"comparable", row.comparable()},
                       {"cells_missing", row.missing},
                       {"cells_failed", row.failed}};
    if (row.sequence >= 0) {
        object.insert(QStringLiteral("sequence"), plan.sequences().at(row.sequence).name);
        if (!row.unavailable.isEmpty())
            object.insert(QStringLiteral("note"), row.unavailable);
    } else {
        object.insert(QStringLiteral("sequences"), row.sequences);
        object.insert(QStringLiteral("sequences_total"), row.sequencesTotal);
    }
    return object;
}

QJsonObject cellJson(const ExperimentPlan &plan, const CellFigures &cell)
{
    QJsonObject object{{"sequence", plan.sequences().at(cell.sequence).name},
                       {"configuration", configurationName(plan, cell.configuration)},
                       {"qp", cell.qp},
                       {"state", stateName(cell.state)},
                       {"bitstream", cell.bitstream}};
    if (cell.state == CellFigures::Done) {
        object.insert(QStringLiteral("rate_kbps"), rounded(cell.kbitPerSecond));
        object.insert(QStringLiteral("psnr_y"), rounded(cell.psnrY));
        object.insert(QStringLiteral("psnr_u"), rounded(cell.psnrU));
        object.insert(QStringLiteral("psnr_v"), rounded(cell.psnrV));
        object.insert(QStringLiteral("psnr_yuv"), rounded(cell.psnrYuv));
        object.insert(QStringLiteral("encoder_cpu_s"), rounded(cell.encoderSeconds));
        object.insert(QStringLiteral("decoder_cpu_s"), jsonFigure(cell.decoderSeconds));
    }
    if (!cell.hash.isEmpty())
        object.insert(QStringLiteral("hashes"), cell.hash);
    if (cell.state == CellFigures::Failed)
        object.insert(QStringLiteral("failure"), QJsonObject{{"exit_code", cell.exitCode},
                                                             {"reason", cell.failure},
                                                             {"last_lines", QJsonArray::fromStringList(cell.lastLines)},
                                                             {"log", cell.log}});
    return object;
}

QJsonArray weightsJson(const YuvWeights &weights)
{
    return QJsonArray{weights.y, weights.u, weights.v};
}

} // namespace

QString ResultsFiles::cellLabel(const ExperimentPlan &plan, int sequence, int configuration, int qp)
{
    return QStringLiteral("%1 QP%2 %3")
        .arg(plan.sequences().at(sequence).name).arg(qp).arg(plan.configurations().at(configuration).name);
}

QString ResultsFiles::baseName(const ExperimentPlan &plan, const ResultsTable &table)
{
    if (table.reference == plan.anchorIndex())
        return QStringLiteral("results");
    return QStringLiteral("results_vs_") + configurationName(plan, table.reference);
}

QString ResultsFiles::summary(const ExperimentPlan &plan, const ExperimentResults &results, const ResultsTable &table)
{
    QString text;
    const QString reference = configurationName(plan, table.reference);
    const QString yuv = QStringLiteral("BD-rate YUV (%1)").arg(table.weights.text());
    for (int c : table.tests) {
        text += QStringLiteral("## %1 against %2\n\n").arg(configurationName(plan, c), reference);
        text += tableRow({"Class", "Sequence", "BD-rate Y", "BD-rate U", "BD-rate V", yuv, "EncT", "DecT"});
        text += QStringLiteral("|---|---|--:|--:|--:|--:|--:|--:|\n");
        for (const Comparison &row : table.sequences)
            if (row.configuration == c)
                text += comparisonFields(row, row.className.isEmpty() ? dash : row.className,
                                         plan.sequences().at(row.sequence).name);
        for (const QList<Comparison> *averages : {&table.classes, &table.overall})
            for (const Comparison &row : *averages)
                if (row.configuration == c)
                    text += comparisonFields(row, QStringLiteral("**%1**").arg(averageName(row)),
                                             QStringLiteral("%1 of %2 sequences").arg(row.sequences).arg(row.sequencesTotal));
        text += QLatin1Char('\n');
    }
    if (results.failed > 0) {
        text += QStringLiteral("Failed cells:\n\n");
        for (const CellFigures &cell : results.cells)
            if (cell.state == CellFigures::Failed)
                text += QStringLiteral("- %1: %2 (log: %3)\n")
                            .arg(cellLabel(plan, cell.sequence, cell.configuration, cell.qp), cell.failure,
                                 QDir::toNativeSeparators(cell.log));
        text += QLatin1Char('\n');
    }
    return text;
}

QByteArray ResultsFiles::markdown(const ExperimentPlan &plan, const ExperimentResults &results, const ResultsTable &table)
{
    QString text = QStringLiteral("# Coding experiment: %1\n\n").arg(plan.name());
    QStringList qps;
    for (int qp : plan.qps())
        qps << QString::number(qp);
    const YuvWeights &w = table.weights;
    text += QStringLiteral("Plan `%1`; reference **%2**%3; QPs %4. %5 of %6 cells done, %7 failed. BD-rates in percent "
                           "(negative: the test needs fewer bits); BD-rate YUV from each cell's PSNR-YUV, the "
                           "planes' PSNRs weighted %8, (%9 Y + %10 U + %11 V) / %12; EncT and DecT: the test's "
                           "encoder and decoder CPU time over the reference's. A sequence marked n/a cannot be "
                           "compared, for the reason given, and is left out of every average; each average says "
                           "over how many sequences it is taken.\n\n")
                .arg(QDir::toNativeSeparators(plan.path()), configurationName(plan, table.reference),
                     table.reference == plan.anchorIndex() ? QStringLiteral(" (the plan's anchor)")
                                                           : QStringLiteral(" (the plan's anchor is %1)")
                                                                 .arg(configurationName(plan, plan.anchorIndex())),
                     qps.join(QStringLiteral(", ")))
                .arg(results.done).arg(results.total).arg(results.failed)
                .arg(w.text()).arg(w.y, 0, 'g', 6).arg(w.u, 0, 'g', 6).arg(w.v, 0, 'g', 6).arg(w.y + w.u + w.v, 0, 'g', 6);
    text += summary(plan, results, table);
    text += QStringLiteral("## Cells\n\n");
    text += tableRow({"Sequence", "Configuration", "QP", "kbit/s", "PSNR Y", "PSNR U", "PSNR V", "PSNR YUV",
                      "Encoder s", "Decoder s", "Hashes", "State"});
    text += QStringLiteral("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|---|---|\n");
    for (const CellFigures &cell : results.cells) {
        const bool done = cell.state == CellFigures::Done;
        // A PSNR the cell's pictures lack (4:0:0 has no U and V) is NaN: shown as unknown.
        const auto figure = [done](double value, int decimals) {
            return done && !std::isnan(value) ? number(value, decimals) : dash;
        };
        text += tableRow({plan.sequences().at(cell.sequence).name, configurationName(plan, cell.configuration),
                          QString::number(cell.qp), figure(cell.kbitPerSecond, 1), figure(cell.psnrY, 2),
                          figure(cell.psnrU, 2), figure(cell.psnrV, 2), figure(cell.psnrYuv, 2),
                          figure(cell.encoderSeconds, 2), cell.decoderSeconds ? number(*cell.decoderSeconds, 2) : dash,
                          cell.hash.isEmpty() ? dash : cell.hash,
                          cell.state == CellFigures::Failed ? QStringLiteral("failed: ") + cell.failure : stateName(cell.state)});
    }
    return text.toUtf8();
}

QByteArray ResultsFiles::csv(const ExperimentPlan &plan, const ExperimentResults &results, const ResultsTable &table)
{
    QString text = QStringLiteral("row,class,sequence,configuration,qp,bd_rate_y,bd_rate_u,bd_rate_v,bd_rate_yuv,enc_t,"
                                  "dec_t,sequences,cells_missing,cells_failed,rate_kbps,psnr_y,psnr_u,psnr_v,psnr_yuv,"
                                  "encoder_cpu_s,decoder_cpu_s,hashes,state,note\n");
    const auto comparison = [&plan](const char *kind, const Comparison &row) {
        const QString sequence = row.sequence >= 0 ? plan.sequences().at(row.sequence).name : QString();
        const QString counted = row.sequence >= 0 ? QString()
                                                  : QStringLiteral("%1/%2").arg(row.sequences).arg(row.sequencesTotal);
        const QString note = row.sequence >= 0 && !row.comparable() ? notAvailable + QStringLiteral(": ") + row.unavailable
                                                                    : QString();
        return QStringList{QLatin1String(kind), row.className, sequence, configurationName(plan, row.configuration),
                           QString(), csvFigure(row.bdRate[Comparison::Y]), csvFigure(row.bdRate[Comparison::U]),
                           csvFigure(row.bdRate[Comparison::V]), csvFigure(row.bdRate[Comparison::Yuv]),
                           csvFigure(row.encT), csvFigure(row.decT), counted, QString::number(row.missing),
                           QString::number(row.failed), QString(), QString(), QString(), QString(), QString(),
                           QString(), QString(), QString(), QString(), note};
    };
    QList<QStringList> rows;
    for (const Comparison &row : table.sequences)
        rows << comparison("sequence", row);
    for (const Comparison &row : table.classes)
        rows << comparison("class", row);
    for (const Comparison &row : table.overall)
        rows << comparison("overall", row);
    for (const CellFigures &cell : results.cells) {
        const bool done = cell.state == CellFigures::Done;
        const auto figure = [done](double value) {
            return done && !std::isnan(value) ? QString::number(rounded(value)) : QString();
        };
        rows << QStringList{"cell", plan.sequences().at(cell.sequence).className, plan.sequences().at(cell.sequence).name,
                            configurationName(plan, cell.configuration), QString::number(cell.qp), QString(),
                            QString(), QString(), QString(), QString(), QString(), QString(), QString(), QString(),
                            figure(cell.kbitPerSecond), figure(cell.psnrY), figure(cell.psnrU), figure(cell.psnrV),
                            figure(cell.psnrYuv), figure(cell.encoderSeconds), csvFigure(cell.decoderSeconds),
                            cell.hash, stateName(cell.state), cell.failure};
    }
    for (QStringList &fields : rows) {
        for (QString &field : fields)
            field = csvField(field);
        text += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text.toUtf8();
}

QByteArray ResultsFiles::json(const ExperimentPlan &plan, const ExperimentResults &results, const ResultsTable &table)
{
    QJsonArray qps, sequences, classes, overall, cells;
    for (int qp : plan.qps())
        qps << qp;
    for (const Comparison &row : table.sequences)
        sequences << comparisonJson(plan, row);
    for (const Comparison &row : table.classes)
        classes << comparisonJson(plan, row);
    for (const Comparison &row : table.overall)
        overall << comparisonJson(plan, row);
    for (const CellFigures &cell : results.cells)
        cells << cellJson(plan, cell);
    // "anchor" is the reference the figures are taken against, the plan's anchor or the one asked for.
    const QJsonObject object{{"plan", plan.path()},
                             {"anchor", configurationName(plan, table.reference)},
                             {"plan_anchor", configurationName(plan, plan.anchorIndex())},
                             {"yuv_weights", weightsJson(table.weights)},
                             {"qps", qps},
                             {"cells_total", results.total},
                             {"cells_done", results.done},
                             {"cells_failed", results.failed},
                             {"sequences", sequences},
                             {"classes", classes},
                             {"overall", overall},
                             {"cells", cells}};
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QString ResultsFiles::writeFile(const QString &path, const QByteArray &bytes)
{
    // A file that already holds these bytes is left as it is: several processes that end
    // together each write the same results.
    QFile existing(path);
    if (QFileInfo(path).isFile() && !QFileInfo(path).isSymLink() && existing.size() == bytes.size()
        && existing.open(QIODevice::ReadOnly) && existing.readAll() == bytes)
        return QString();
    const QString problem = ReplaceFile::writeWhole(path, bytes);
    return problem.isEmpty() ? problem : QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(path), problem);
}

// The sequences the results in the folder named when they were last written: plots of those no
// longer in the plan are this program's, and go.
QStringList ResultsFiles::sequencesWritten(const ExperimentPlan &plan)
{
    QJsonObject written;
    QString problem;
    QStringList names;
    if (JsonFile::read(plan.folder() + QStringLiteral("/results.json"), &written, &problem))
        for (const QJsonValue &row : written.value(QStringLiteral("sequences")).toArray())
            names << row.toObject().value(QStringLiteral("sequence")).toString();
    names.removeDuplicates();
    return names;
}

// One plot per sequence with a done cell; a sequence without one (its cells made anew) has its
// old plot removed, so that no plot shows figures the results no longer hold.
QString ResultsFiles::writePlots(const ExperimentPlan &plan, const ExperimentResults &results, QStringList gone)
{
    const QString folder = plan.folder() + QStringLiteral("/plots");
    // The plots to draw: those whose curves changed since they were drawn.
    struct Plot
    {
        QString name, path;
        QList<RdPlot::Curve> curves;
        QByteArray png;
    };
    std::vector<Plot> plots;
    for (int s = 0; s < plan.sequences().size(); ++s) {
        const QString name = plan.sequences().at(s).name;
        gone.removeAll(name);
        QList<RdPlot::Curve> curves;
        for (int c = 0; c < plan.configurations().size(); ++c) {
            RdPlot::Curve curve{plan.configurations().at(c).name, {}};
            for (int q = 0; q < plan.qps().size(); ++q) {
                const CellFigures &cell = results.cell(plan, s, c, q);
                if (cell.state == CellFigures::Done)
                    curve.points.append({cell.kbitPerSecond, cell.psnrY});
            }
            curves << curve;
        }
        const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
        const bool any = std::any_of(curves.begin(), curves.end(), [](const RdPlot::Curve &c) { return !c.points.isEmpty(); });
        if (!any) {
            QFile::remove(path);
            continue;
        }
        // A plot of the same curves stays as it is: drawing each is most of a write's time.
        if (!RdPlot::drawnAt(path, name, curves))
            plots.push_back({name, path, curves, {}});
    }
    QString problem;
    if (!plots.empty() && !QDir().mkpath(folder)) {
        problem = QStringLiteral("cannot make the folder %1").arg(QDir::toNativeSeparators(folder));
        plots.clear();
    }
    // Drawn on every core (the results of an experiment run on many machines are written at its
    // end, every plot at once), each into an image of its own, and written in the plan's order.
    const size_t drawers = std::min(plots.size(), size_t(std::max(1, QThread::idealThreadCount())));
    std::atomic<size_t> next{0};
    const auto draw = [&plots, &next] {
        for (size_t i = next++; i < plots.size(); i = next++)
            plots[i].png = RdPlot::png(plots[i].name, plots[i].curves);
    };
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < drawers; ++t)
        helpers.emplace_back(draw);
    draw();
    for (std::thread &helper : helpers)
        helper.join();
    for (const Plot &plot : plots) {
        const QString failed = writeFile(plot.path, plot.png);
        if (problem.isEmpty())
            problem = failed;
    }
    for (const QString &name : std::as_const(gone))
        if (!name.isEmpty() && !name.contains(QLatin1Char('/')))
            QFile::remove(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
    return problem;
}

QString ResultsFiles::writeTables(const ExperimentPlan &plan, const ExperimentResults &results,
                                  const ResultsTable &table)
{
    const QString stem = plan.folder() + QLatin1Char('/') + baseName(plan, table);
    const struct { const char *suffix; QByteArray bytes; } files[] = {
        {".csv", csv(plan, results, table)},
        {".json", json(plan, results, table)},
        {".md", markdown(plan, results, table)},
    };
    // Every file is tried, each whole or not at all; the first that cannot be written is told.
    QString problem;
    for (const auto &file : files) {
        const QString failed = writeFile(stem + QLatin1String(file.suffix), file.bytes);
        if (problem.isEmpty())
            problem = failed;
    }
    return problem;
}

QString ResultsFiles::write(const ExperimentPlan &plan, const ExperimentResults &results)
{
    const QStringList before = sequencesWritten(plan);
    const QString problem = writeTables(plan, results, results.table);
    if (!RdPlot::available())
        return problem;
    const QString failed = writePlots(plan, results, before);
    return problem.isEmpty() ? failed : problem;
}
