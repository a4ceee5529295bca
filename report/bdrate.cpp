#include "bdrate.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace {

using Samples = std::vector<std::pair<double, double>>;

int signOf(double value)
{
    return (value > 0) - (value < 0);
}

// The slope at an end: the one-sided three-point estimate, kept from overshooting.
double endSlope(double h0, double h1, double m0, double m1)
{
    double slope = ((2 * h0 + h1) * m0 - h0 * m1) / (h0 + h1);
    if (signOf(slope) != signOf(m0))
        slope = 0;
    else if (signOf(m0) != signOf(m1) && std::abs(slope) > std::abs(3 * m0))
        slope = 3 * m0;
    return slope;
}

// A piecewise cubic Hermite interpolant whose slopes keep the data's shape: flat at a local
// extreme, elsewhere the weighted harmonic mean of the neighbouring secants, so that it never
// overshoots between two points. Integrated exactly.
class MonotoneCubic
{
public:
    // The samples sorted by x; false when two share an x.
    bool build(Samples samples)
    {
        std::sort(samples.begin(), samples.end());
        x.clear();
        y.clear();
        for (const auto &[sx, sy] : samples) {
            if (!x.empty() && sx <= x.back())
                return false;
            x.push_back(sx);
            y.push_back(sy);
        }
        const size_t n = x.size();
        std::vector<double> h(n - 1), m(n - 1);
        for (size_t k = 0; k + 1 < n; ++k) {
            h[k] = x[k + 1] - x[k];
            m[k] = (y[k + 1] - y[k]) / h[k];
        }
        d.assign(n, m[0]);
        if (n == 2)
            return true;
        for (size_t k = 1; k + 1 < n; ++k) {
            if (signOf(m[k - 1]) != signOf(m[k]) || m[k - 1] == 0 || m[k] == 0) {
                d[k] = 0;
                continue;
            }
            const double w1 = 2 * h[k] + h[k - 1], w2 = h[k] + 2 * h[k - 1];
            d[k] = (w1 + w2) / (w1 / m[k - 1] + w2 / m[k]);
        }
        d[0] = endSlope(h[0], h[1], m[0], m[1]);
        d[n - 1] = endSlope(h[n - 2], h[n - 3], m[n - 2], m[n - 3]);
        return true;
    }

    double front() const { return x.front(); }
    double back() const { return x.back(); }

    // The integral from a to b, both within [front(), back()].
    double integral(double a, double b) const
    {
        double sum = 0;
        for (size_t k = 0; k + 1 < x.size(); ++k) {
            const double from = std::max(a, x[k]), to = std::min(b, x[k + 1]);
            if (from >= to)
                continue;
            const double h = x[k + 1] - x[k];
            sum += h * (primitive(k, (to - x[k]) / h) - primitive(k, (from - x[k]) / h));
        }
        return sum;
    }

private:
    // The integral over the first t (0..1) of segment k, in units of its width.
    double primitive(size_t k, double t) const
    {
        const double h = x[k + 1] - x[k];
        const double t2 = t * t, t3 = t2 * t, t4 = t3 * t;
        return y[k] * (t4 / 2 - t3 + t) + h * d[k] * (t4 / 4 - 2 * t3 / 3 + t2 / 2)
               + y[k + 1] * (t3 - t4 / 2) + h * d[k + 1] * (t4 / 4 - t3 / 3);
    }

    std::vector<double> x, y, d;
};

bool checkPoints(const QList<RatePoint> &points, const char *curve, QString *error)
{
    if (points.size() < BdRate::minimumPoints) {
        *error = QStringLiteral("the %1 has %2 points; BD figures need at least %3 on each curve")
                     .arg(QLatin1String(curve)).arg(points.size()).arg(BdRate::minimumPoints);
        return false;
    }
    for (const RatePoint &point : points) {
        if (!BdRate::usableRate(point.kbitPerSecond) || !BdRate::usablePsnr(point.psnr)) {
            *error = QStringLiteral("a point of the %1 has a rate of %2 kbit/s and a PSNR of %3 dB; the rate must "
                                    "be above 0 and below %4 kbit/s, the PSNR from 0 to %5 dB")
                         .arg(QLatin1String(curve)).arg(point.kbitPerSecond).arg(point.psnr)
                         .arg(BdRate::maximumRate).arg(BdRate::maximumPsnr);
            return false;
        }
    }
    return true;
}

bool checkRising(const QList<RatePoint> &points, const char *curve, QString *error)
{
    const BdRate::PointPair pair = BdRate::notRising(points);
    if (!pair.found())
        return true;
    const RatePoint &lower = points.at(pair.lower), &higher = points.at(pair.higher);
    *error = QStringLiteral("the %1's PSNR does not rise with its rate between %2 kbit/s, %3 dB and %4 kbit/s, "
                            "%5 dB; BD figures need a PSNR that rises with the rate")
                 .arg(QLatin1String(curve)).arg(lower.kbitPerSecond).arg(lower.psnr)
                 .arg(higher.kbitPerSecond).arg(higher.psnr);
    return false;
}

// The curve with x from the points' PSNR (qualityAxis) or log10 rate, y the other.
bool buildCurve(const QList<RatePoint> &points, bool qualityAxis, const char *curve,
                MonotoneCubic *cubic, QString *error)
{
    Samples samples;
    for (const RatePoint &point : points) {
        const double logRate = std::log10(point.kbitPerSecond);
        samples.emplace_back(qualityAxis ? point.psnr : logRate, qualityAxis ? logRate : point.psnr);
    }
    if (cubic->build(samples))
        return true;
    *error = QStringLiteral("two points of the %1 have the same %2")
                 .arg(QLatin1String(curve), QLatin1String(qualityAxis ? "PSNR" : "rate"));
    return false;
}

// The mean of test minus anchor over the x range both curves cover.
bool meanGap(const QList<RatePoint> &anchor, const QList<RatePoint> &test, bool qualityAxis,
             double *gap, QString *error)
{
    MonotoneCubic anchorCurve, testCurve;
    if (!checkPoints(anchor, "anchor", error) || !checkPoints(test, "test", error)
        || !buildCurve(anchor, qualityAxis, "anchor", &anchorCurve, error)
        || !buildCurve(test, qualityAxis, "test", &testCurve, error)
        || !checkRising(anchor, "anchor", error) || !checkRising(test, "test", error))
        return false;
    const double low = std::max(anchorCurve.front(), testCurve.front());
    const double high = std::min(anchorCurve.back(), testCurve.back());
    if (!(high > low)) {
        const auto range = [qualityAxis](const MonotoneCubic &curve) {
            return qualityAxis ? QStringLiteral("%1 to %2 dB").arg(curve.front(), 0, 'f', 2).arg(curve.back(), 0, 'f', 2)
                               : QStringLiteral("%1 to %2 kbit/s")
                                     .arg(std::pow(10.0, curve.front()), 0, 'f', 1)
                                     .arg(std::pow(10.0, curve.back()), 0, 'f', 1);
        };
        *error = QStringLiteral("the %1 ranges do not overlap: anchor %2, test %3")
                     .arg(QLatin1String(qualityAxis ? "PSNR" : "rate"), range(anchorCurve), range(testCurve));
        return false;
    }
    *gap = (testCurve.integral(low, high) - anchorCurve.integral(low, high)) / (high - low);
    return true;
}

} // namespace

bool BdRate::usableRate(double kbitPerSecond)
{
    return std::isfinite(kbitPerSecond) && kbitPerSecond > 0 && kbitPerSecond < maximumRate;
}

bool BdRate::usablePsnr(double decibels)
{
    return std::isfinite(decibels) && decibels >= 0 && decibels <= maximumPsnr;
}

BdRate::PointPair BdRate::notRising(const QList<RatePoint> &curve)
{
    std::vector<int> order(size_t(curve.size()));
    for (int i = 0; i < int(curve.size()); ++i)
        order[size_t(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&curve](int a, int b) {
        return curve.at(a).kbitPerSecond < curve.at(b).kbitPerSecond;
    });
    for (size_t k = 0; k + 1 < order.size(); ++k) {
        const RatePoint &lower = curve.at(order[k]), &higher = curve.at(order[k + 1]);
        if (!(higher.kbitPerSecond > lower.kbitPerSecond) || !(higher.psnr > lower.psnr))
            return PointPair{order[k], order[k + 1]};
    }
    return PointPair();
}

bool BdRate::rateDifference(const QList<RatePoint> &anchor, const QList<RatePoint> &test,
                            double *percent, QString *error)
{
    double gap = 0;
    if (!meanGap(anchor, test, true, &gap, error))
        return false;
    *percent = (std::pow(10.0, gap) - 1) * 100;
    return true;
}

bool BdRate::psnrDifference(const QList<RatePoint> &anchor, const QList<RatePoint> &test,
                            double *decibels, QString *error)
{
    return meanGap(anchor, test, false, decibels, error);
}

std::array<bool, 4> BdRate::comparedPlanes(const QList<bool> &pointsWithChroma, const YuvWeights &weights)
{
    const auto chroma = [](bool has) { return has; };
    const bool all = std::all_of(pointsWithChroma.begin(), pointsWithChroma.end(), chroma);
    const bool none = std::none_of(pointsWithChroma.begin(), pointsWithChroma.end(), chroma);
    return {true, all, all, all || (none && weights.y > 0)};
}
