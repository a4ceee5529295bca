#ifndef RESULTSFILES_H
#define RESULTSFILES_H

#include <QByteArray>
#include <QString>
#include <QStringList>

class ExperimentPlan;
class ExperimentResults;
class ResultsTable;

// The results of an experiment as files in its folder: results.csv, results.json and
// results.md, each with the comparisons against the plan's anchor per sequence, per class and
// over all and the figures of every cell, and one rate-distortion plot per sequence in
// plots/<sequence>.png. The same tables against another configuration go to
// results_vs_<configuration>.csv/.json/.md beside them. Each file is written whole or not at all
// (under a temporary name, synced, renamed into place); a plot of a sequence the plan no longer
// has, or that has no done cell, goes.
class ResultsFiles
{
public:
    // Writes the tables against the plan's anchor and the plots; the reason when a file cannot
    // be written.
    static QString write(const ExperimentPlan &plan, const ExperimentResults &results);
    // Writes the three files of one table: results.* for the plan's anchor, results_vs_<name>.*
    // for any other reference.
    static QString writeTables(const ExperimentPlan &plan, const ExperimentResults &results, const ResultsTable &table);
    // "results", or "results_vs_<reference>": the files' name without the suffix.
    static QString baseName(const ExperimentPlan &plan, const ResultsTable &table);

    static QByteArray csv(const ExperimentPlan &plan, const ExperimentResults &results, const ResultsTable &table);
    static QByteArray json(const ExperimentPlan &plan, const ExperimentResults &results, const ResultsTable &table);
    static QByteArray markdown(const ExperimentPlan &plan, const ExperimentResults &results, const ResultsTable &table);
    // The comparison tables and the failed cells, as the terminal shows them at the end.
    static QString summary(const ExperimentPlan &plan, const ExperimentResults &results, const ResultsTable &table);
    // "Kimono QP27 test"
    static QString cellLabel(const ExperimentPlan &plan, int sequence, int configuration, int qp);

private:
    static QString writeFile(const QString &path, const QByteArray &bytes);
    static QStringList sequencesWritten(const ExperimentPlan &plan);
    static QString writePlots(const ExperimentPlan &plan, const ExperimentResults &results, QStringList gone);
};

#endif // RESULTSFILES_H
