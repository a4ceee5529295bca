#ifndef EXPERIMENTRESULTS_H
#define EXPERIMENTRESULTS_H

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class ExperimentPlan;

// One cell as its record and report tell it.
struct CellFigures
{
    enum State { Missing, Done, Failed };
    int sequence = 0;
    int configuration = 0;
    int qp = 0;
    State state = Missing;
    double kbitPerSecond = 0;
    double psnrY = 0, psnrU = 0, psnrV = 0;
    double encoderSeconds = 0;                // CPU, user + system
    std::optional<double> decoderSeconds;     // when decoded
    QString hash;                             // the hash check in words; empty when not decoded
    int exitCode = 0;                         // a failed cell's
    QString failure;
    QStringList lastLines;
    QString bitstream;
    QString log;
};

// The figures of a test configuration against the anchor, for one sequence, or averaged over
// a class or the whole test.
struct Comparison
{
    int configuration = 0;                    // the test configuration
    QString className;
    int sequence = -1;                        // -1 for an average
    std::optional<double> bdRate[3];          // Y, U, V in percent
    QString bdProblem;                        // why there is no BD-rate although every cell is done
    std::optional<double> encT;               // test's CPU time over the anchor's
    std::optional<double> decT;
    int missing = 0;                          // cells of either configuration not done yet
    int failed = 0;
    int sequences = 0;                        // an average: the sequences with figures / all of them
    int sequencesTotal = 0;
};

// The results of an experiment as plain values, worked out from the cells' records and
// reports as they are on disk: every cell; per sequence and test configuration the BD-rates
// against the anchor (computed as --bd-rate does) and the ratios of the encoding and decoding
// times (the test's CPU time summed over the QPs over the anchor's); per class and over all the
// arithmetic mean of the BD-rates and the geometric mean of the time ratios. A sequence with a
// cell not done has no figures yet, and says how many cells are missing.
class ExperimentResults
{
public:
    static ExperimentResults gather(const ExperimentPlan &plan);

    QList<CellFigures> cells;
    QList<Comparison> sequences;
    QList<Comparison> classes;     // per class with a name, in the plan's order
    QList<Comparison> overall;     // one per test configuration
    int done = 0;
    int failed = 0;
    int total = 0;

    const CellFigures &cell(const ExperimentPlan &plan, int sequence, int configuration, int qpIndex) const;

private:
    static Comparison compare(const ExperimentPlan &plan, const QList<CellFigures> &cells, int sequence,
                              int configuration);
    static Comparison average(const QList<Comparison> &rows, int configuration, const QString &className);
};

#endif // EXPERIMENTRESULTS_H
