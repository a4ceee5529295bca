#ifndef RESULTSFILES_H
#define RESULTSFILES_H

#include <QByteArray>
#include <QString>
#include <QStringList>

class ExperimentPlan;
class ExperimentResults;

// The results of an experiment as files in its folder: results.csv, results.json and
// results.md, each with the comparisons per sequence, per class and over all and the figures of
// every cell, and one rate-distortion plot per sequence in plots/<sequence>.png. Each file is
// written whole or not at all (under a temporary name, synced, renamed into place); a plot of a
// sequence the plan no longer has, or that has no done cell, goes.
class ResultsFiles
{
public:
    // Writes every file; the reason when one cannot be written.
    static QString write(const ExperimentPlan &plan, const ExperimentResults &results);

    static QByteArray csv(const ExperimentPlan &plan, const ExperimentResults &results);
    static QByteArray json(const ExperimentPlan &plan, const ExperimentResults &results);
    static QByteArray markdown(const ExperimentPlan &plan, const ExperimentResults &results);
    // The comparison tables and the failed cells, as the terminal shows them at the end.
    static QString summary(const ExperimentPlan &plan, const ExperimentResults &results);
    // "Kimono QP27 test"
    static QString cellLabel(const ExperimentPlan &plan, int sequence, int configuration, int qp);

private:
    static QString writeFile(const QString &path, const QByteArray &bytes);
    static QStringList sequencesWritten(const ExperimentPlan &plan);
    static QString writePlots(const ExperimentPlan &plan, const ExperimentResults &results, QStringList gone);
};

#endif // RESULTSFILES_H
