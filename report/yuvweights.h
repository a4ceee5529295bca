#ifndef YUVWEIGHTS_H
#define YUVWEIGHTS_H

#include <QString>

#include <cmath>
#include <limits>
#include <utility>

// How much each plane counts in one PSNR over Y, U and V: the weighted mean of the planes'
// PSNRs (each the mean over the pictures), (wY × Y + wU × U + wV × V) / (wY + wU + wV), over
// the planes the pictures have (4:0:0: Y alone). The
// quality report's psnr_yuv is this with 6:1:1; 14:1:1 is the other common choice.
struct YuvWeights
{
    static constexpr double maximum = 1000;

    double y = 6;
    double u = 1;
    double v = 1;

    // The weighted mean over the planes whose PSNR is known (NaN stands for a plane the
    // pictures lack); NaN when no known plane has a weight.
    double psnr(double psnrY, double psnrU, double psnrV) const
    {
        double sum = 0, weight = 0;
        for (const auto &[w, p] : {std::pair{y, psnrY}, std::pair{u, psnrU}, std::pair{v, psnrV}}) {
            if (!std::isnan(p)) {
                sum += w * p;
                weight += w;
            }
        }
        return weight > 0 ? sum / weight : std::numeric_limits<double>::quiet_NaN();
    }
    // "6:1:1", "14:1:1", "4:0.5:0.5".
    QString text() const;
    bool operator==(const YuvWeights &other) const { return y == other.y && u == other.u && v == other.v; }

    // Why the three numbers cannot weigh the planes (each must be finite, from 0 to maximum,
    // and one of them above 0); empty when they can.
    static QString problem(double y, double u, double v);
    // Reads "Y:U:V" (or "Y,U,V"), e.g. "14:1:1"; false with the reason in *error.
    static bool parse(const QString &text, YuvWeights *weights, QString *error);
};

#endif // YUVWEIGHTS_H
