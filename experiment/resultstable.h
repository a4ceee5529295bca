#ifndef RESULTSTABLE_H
#define RESULTSTABLE_H

#include "cellfigures.h"

#include "report/yuvweights.h"

#include <QList>
#include <QString>

#include <array>
#include <functional>
#include <optional>

class ExperimentPlan;

// The figures of a test configuration against the reference, for one sequence, or averaged over
// a class or the whole test.
struct Comparison
{
    enum Plane { Y, U, V, Yuv, planes };

    int configuration = 0;                    // the test configuration
    QString className;
    int sequence = -1;                        // -1 for an average
    std::optional<double> bdRate[planes];     // Y, U, V and YUV in percent; U and V none without chroma
    std::optional<double> encT;               // the test's encoder CPU time over the reference's
    std::optional<double> decT;               // the same for the decoders, when both configurations decode
    // A sequence's: why it cannot be compared (a cell failed or not done, a curve whose PSNR
    // does not rise, PSNR ranges that do not overlap); empty when it can.
    QString unavailable;
    int missing = 0;                          // cells of either configuration not done yet
    int failed = 0;
    int sequences = 0;                        // an average: the sequences it is taken over / all of them
    int sequencesTotal = 0;

    // A sequence with figures, or an average taken over at least one.
    bool comparable() const { return sequence >= 0 ? unavailable.isEmpty() : sequences > 0; }
};

// The comparison of every configuration of a plan with one of them, the reference: per sequence
// the BD-rates for Y, U, V and the weighted PSNR-YUV (as --bd-rate works them out) and the time
// ratios (the test's CPU time summed over the QPs over the reference's); per class and over all
// the arithmetic mean of the BD-rates and the geometric mean of the time ratios. Cells without
// chroma (4:0:0) have no PSNR-U and -V: their sequence has no BD-rate U and V (nor YUV where
// the other configuration's cells have chroma), and an average has such a figure only where
// every sequence it is taken over has it.
//
// A sequence is compared in full or not at all: one that cannot be compared for any of its
// figures has none, says why, and is left out of every average, which says over how many
// sequences it is taken; so every figure of an average stands for the same sequences.
class ResultsTable
{
public:
    // The table against the configuration `reference` from the plan's cells (as
    // ExperimentResults gathers them: every one, in the plan's order); reads and writes no file.
    static ResultsTable of(const ExperimentPlan &plan, const QList<CellFigures> &cells, int reference);
    // The same from cells kept elsewhere: cell(index) is the cell at that index in the plan's
    // order.
    using CellAt = std::function<const CellFigures &(int index)>;
    static ResultsTable of(const ExperimentPlan &plan, const CellAt &cell, int reference);

    int reference = -1;
    YuvWeights weights;
    QList<int> tests;              // the configurations compared with the reference, in the plan's order
    QList<Comparison> sequences;   // per test configuration, per sequence in the plan's order
    QList<Comparison> classes;     // per test configuration, per class with a name, in the plan's order
    QList<Comparison> overall;     // one per test configuration

private:
    static Comparison compare(const ExperimentPlan &plan, const CellAt &cell, int sequence,
                              int configuration, int reference);
    static QString notRising(const ExperimentPlan &plan, const QList<const CellFigures *> &curve,
                             const std::array<bool, Comparison::planes> &compared);
    static void takeTimes(const ExperimentPlan &plan, const QList<const CellFigures *> sides[2], Comparison *row);
    static Comparison average(const QList<Comparison> &rows, int configuration, const QString &className);
};

#endif // RESULTSTABLE_H
