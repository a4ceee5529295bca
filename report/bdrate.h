#ifndef BDRATE_H
#define BDRATE_H

#include "yuvweights.h"

#include <QList>
#include <QString>

#include <array>

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
    // The figures a point may have: a rate above 0 and below maximumRate kbit/s, a PSNR from 0
    // to maximumPsnr dB, both finite. Anything else is a broken report, not an encode.
    static constexpr double maximumRate = 1e9;
    static constexpr double maximumPsnr = 200;

    static bool usableRate(double kbitPerSecond);
    static bool usablePsnr(double decibels);

    // Two points of a curve, by their places in the list that holds it; none when lower < 0.
    struct PointPair
    {
        int lower = -1;    // the one with the lower rate
        int higher = -1;
        bool found() const { return lower >= 0; }
    };
    // The first two points, neighbours once the curve is sorted by rate, between which the
    // PSNR does not rise while the rate does (or the rate stays the same). The BD figures
    // interpolate the rate over the PSNR and the PSNR over the rate: both must rise together,
    // strictly, or the figures are undefined.
    static PointPair notRising(const QList<RatePoint> &curve);

    // Which of the figures Y, U, V and YUV (in that order) two curves are compared by, from
    // whether each point of either curve has chroma PSNRs (pictures in 4:0:0 have none): Y
    // always; U and V where every point has them; the weighted YUV where every point weighs the
    // same planes (all with chroma, or all without) and one of those planes weighs. The others
    // are unknown, not failures.
    static std::array<bool, 4> comparedPlanes(const QList<bool> &pointsWithChroma, const YuvWeights &weights);

    // The test's mean rate difference over the anchor at equal PSNR, in percent (negative: the
    // test needs fewer bits). False with a one-line reason in *error when it cannot be worked
    // out (too few points, a rate or a PSNR out of range, two points of one curve at the same
    // PSNR, a curve whose PSNR does not rise with its rate, PSNR ranges that do not overlap).
    static bool rateDifference(const QList<RatePoint> &anchor, const QList<RatePoint> &test,
                               double *percent, QString *error);
    // The test's mean PSNR difference over the anchor at equal rate, in dB.
    static bool psnrDifference(const QList<RatePoint> &anchor, const QList<RatePoint> &test,
                               double *decibels, QString *error);
};

#endif // BDRATE_H
