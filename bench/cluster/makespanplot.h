#ifndef MAKESPANPLOT_H
#define MAKESPANPLOT_H

#include <QList>
#include <QString>

// The simulated cluster's plot: the wall time over the ideal against the number of processes,
// one curve for the job and one for the experiment, with the 3 % target, as a PNG (drawn with
// QPainter, so the benchmark needs no plotting tool). False when the file cannot be written.
namespace MakespanPlot {

bool draw(const QString &path, const QList<int> &processes, const QList<double> &job, const QList<double> &experiment);

} // namespace MakespanPlot

#endif // MAKESPANPLOT_H
