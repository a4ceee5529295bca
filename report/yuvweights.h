#ifndef YUVWEIGHTS_H
#define YUVWEIGHTS_H

#include <QString>

// How much each plane counts in one PSNR over Y, U and V: the weighted mean of the planes'
// PSNRs (each the mean over the pictures), (wY × Y + wU × U + wV × V) / (wY + wU + wV). The
// quality report's psnr_yuv is this with 6:1:1; 14:1:1 is the other common choice.
struct YuvWeights
{
    static constexpr double maximum = 1000;

    double y = 6;
    double u = 1;
    double v = 1;

    double psnr(double psnrY, double psnrU, double psnrV) const
    {
        return (y * psnrY + u * psnrU + v * psnrV) / (y + u + v);
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
