#ifndef RDPLOT_H
#define RDPLOT_H

#include <QByteArray>
#include <QList>
#include <QPointF>
#include <QString>

class QPainter;
class QRectF;

// A rate-distortion plot as a PNG picture: PSNR-Y against the rate, one curve per
// configuration, with axes, a grid and a legend. Drawing text takes a QGuiApplication (the
// command-line program makes one on the offscreen platform for an experiment).
class RdPlot
{
public:
    struct Curve
    {
        QString name;
        QList<QPointF> points;   // x: kbit/s, y: PSNR-Y in dB
    };

    // Whether plots can be drawn here: a QGuiApplication exists.
    static bool available();
    // The plot as PNG bytes; empty when it cannot be drawn. The picture carries its title and
    // curves as text (key "Curves"), so that a plot already drawn is known without drawing it.
    static QByteArray png(const QString &title, const QList<Curve> &curves);
    // Whether the PNG file at path is the plot png() draws of these curves.
    static bool drawnAt(const QString &path, const QString &title, const QList<Curve> &curves);

private:
    struct Axis
    {
        double low = 0, high = 1, step = 1;
        double at(double value, double from, double to) const { return from + (value - low) / (high - low) * (to - from); }
    };
    static QString drawing(const QString &title, const QList<Curve> &curves);
    static Axis axisFor(double low, double high);
    static void drawAxes(QPainter &painter, const QRectF &area, const Axis &x, const Axis &y);
    static void drawCurves(QPainter &painter, const QRectF &area, const Axis &x, const Axis &y, const QList<Curve> &curves);
    static void drawLegend(QPainter &painter, const QRectF &area, const QList<Curve> &curves);
};

#endif // RDPLOT_H
