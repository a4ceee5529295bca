#ifndef BDRATE_H
#define BDRATE_H

#include <QList>
#include <QString>

// One encode of a rate-distortion curve: its rate and its quality.
struct RatePoint
{
    double kbitPerSecond = 0;
    double psnr = 0;
};

// The Bjøntegaard delta between two rate-distortion curves, as the common test conditions
// compute it: each curve interpolated by piecewise cubic monotone (Hermite) polynomials, with
// the rate on a log10 scale, and the gap between the curves averaged over the range both
// cover. Each curve needs at least four points.
class BdRate
{
public:
    static constexpr int minimumPoints = 4;

    // The test's mean rate difference over the anchor at equal PSNR, in percent (negative: the
    // test needs fewer bits). False with a one-line reason in *error when it cannot be worked
    // out (too few points, two points of one curve at the same PSNR, a rate that is not
    // positive, PSNR ranges that do not overlap).
    static bool rateDifference(const QList<RatePoint> &anchor, const QList<RatePoint> &test,
                               double *percent, QString *error);
    // The test's mean PSNR difference over the anchor at equal rate, in dB.
    static bool psnrDifference(const QList<RatePoint> &anchor, const QList<RatePoint> &test,
                               double *decibels, QString *error);
};

#endif // BDRATE_H
