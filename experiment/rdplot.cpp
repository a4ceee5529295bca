#include "rdplot.h"

#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

constexpr int width = 960;
constexpr int height = 640;

const QColor palette[] = {QColor(0x1f, 0x5f, 0xb4), QColor(0xd6, 0x4a, 0x1e), QColor(0x2e, 0x8b, 0x3e),
                          QColor(0x8e, 0x44, 0xad), QColor(0xb8, 0x86, 0x0b), QColor(0x00, 0x8b, 0x8b)};

QColor colourOf(int index)
{
    return palette[index % int(std::size(palette))];
}

// A marker of its own for each curve, so that the curves stay apart in grey print too.
void drawMarker(QPainter &painter, const QPointF &at, int index)
{
    const double r = 5;
    switch (index % 3) {
    case 0:
        painter.drawEllipse(at, r, r);
        break;
    case 1:
        painter.drawRect(QRectF(at.x() - r, at.y() - r, 2 * r, 2 * r));
        break;
    default:
        painter.drawPolygon(QPolygonF({at + QPointF(0, -r - 1), at + QPointF(r + 1, r), at + QPointF(-r - 1, r)}));
        break;
    }
}

QString tickText(double value, double step)
{
    const int decimals = step >= 1 ? 0 : int(std::ceil(-std::log10(step)));
    return QString::number(value, 'f', decimals);
}

} // namespace

bool RdPlot::available()
{
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
}

// A range with round ticks (1, 2 or 5 times a power of ten) around the data.
RdPlot::Axis RdPlot::axisFor(double low, double high)
{
    if (!(high > low)) {
        const double pad = std::max(1.0, std::abs(low) * 0.05);
        low -= pad;
        high += pad;
    }
    const double rough = (high - low) / 8;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = power;
    for (double factor : {1.0, 2.0, 5.0, 10.0})
        if (factor * power >= rough) {
            step = factor * power;
            break;
        }
    Axis axis;
    axis.step = step;
    axis.low = std::floor(low / step) * step;
    axis.high = std::ceil(high / step) * step;
    if (axis.high <= axis.low)
        axis.high = axis.low + step;
    return axis;
}

QByteArray RdPlot::png(const QString &title, const QList<Curve> &curves)
{
    if (!available())
        return QByteArray();
    double xLow = HUGE_VAL, xHigh = -HUGE_VAL, yLow = HUGE_VAL, yHigh = -HUGE_VAL;
    for (const Curve &curve : curves)
        for (const QPointF &point : curve.points) {
            xLow = std::min(xLow, point.x());
            xHigh = std::max(xHigh, point.x());
            yLow = std::min(yLow, point.y());
            yHigh = std::max(yHigh, point.y());
        }
    if (xLow > xHigh)
        return QByteArray();
    const double xPad = (xHigh - xLow) * 0.05, yPad = (yHigh - yLow) * 0.05;
    const Axis x = axisFor(std::max(0.0, xLow - xPad), xHigh + xPad);
    const Axis y = axisFor(yLow - yPad, yHigh + yPad);

    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setPixelSize(14);
    painter.setFont(font);
    const QRectF area(90, 56, width - 90 - 30, height - 56 - 70);
    QFont bold = font;
    bold.setPixelSize(18);
    bold.setBold(true);
    painter.setFont(bold);
    painter.drawText(QRectF(0, 12, width, 30), Qt::AlignCenter, title + QStringLiteral(": PSNR-Y against rate"));
    painter.setFont(font);
    drawAxes(painter, area, x, y);
    drawCurves(painter, area, x, y, curves);
    drawLegend(painter, area, curves);
    painter.end();
    image.setText(QStringLiteral("Curves"), drawing(title, curves));

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// What a plot shows, exactly: its title and every point of every curve at full precision, with
// the drawing's own version (raised whenever the picture drawn of the same curves changes).
// Names are percent-encoded and parts parted by single spaces, as a picture's text is read back
// with its white space simplified.
QString RdPlot::drawing(const QString &title, const QList<Curve> &curves)
{
    QString text = QStringLiteral("1 ") + QString::fromLatin1(title.toUtf8().toPercentEncoding());
    for (const Curve &curve : curves) {
        text += QStringLiteral(" | ") + QString::fromLatin1(curve.name.toUtf8().toPercentEncoding());
        for (const QPointF &point : curve.points)
            text += QStringLiteral(" %1,%2").arg(point.x(), 0, 'g', 17).arg(point.y(), 0, 'g', 17);
    }
    return text;
}

bool RdPlot::drawnAt(const QString &path, const QString &title, const QList<Curve> &curves)
{
    // Its header, its text and its closing chunk: a picture cut short is drawn again. Not
    // decoded whole, which would cost most of what drawing it costs.
    QImageReader reader(path, "png");
    if (!reader.canRead() || reader.size() != QSize(width, height)
        || reader.text(QStringLiteral("Curves")) != drawing(title, curves))
        return false;
    static const QByteArray end("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() > end.size() && file.seek(file.size() - end.size())
        && file.read(end.size()) == end;
}

void RdPlot::drawAxes(QPainter &painter, const QRectF &area, const Axis &x, const Axis &y)
{
    const QPen grid(QColor(0xdd, 0xdd, 0xdd), 1);
    const QPen ink(Qt::black, 1);
    for (double value = x.low; value <= x.high + x.step / 2; value += x.step) {
        const double at = x.at(value, area.left(), area.right());
        painter.setPen(grid);
        painter.drawLine(QPointF(at, area.top()), QPointF(at, area.bottom()));
        painter.setPen(ink);
        painter.drawText(QRectF(at - 50, area.bottom() + 6, 100, 20), Qt::AlignHCenter | Qt::AlignTop, tickText(value, x.step));
    }
    for (double value = y.low; value <= y.high + y.step / 2; value += y.step) {
        const double at = y.at(value, area.bottom(), area.top());
        painter.setPen(grid);
        painter.drawLine(QPointF(area.left(), at), QPointF(area.right(), at));
        painter.setPen(ink);
        painter.drawText(QRectF(area.left() - 70, at - 10, 62, 20), Qt::AlignRight | Qt::AlignVCenter, tickText(value, y.step));
    }
    painter.setPen(ink);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(area);
    painter.drawText(QRectF(area.left(), area.bottom() + 32, area.width(), 24), Qt::AlignCenter, QStringLiteral("rate (kbit/s)"));
    painter.save();
    painter.translate(22, area.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-area.height() / 2, -12, area.height(), 24), Qt::AlignCenter, QStringLiteral("PSNR-Y (dB)"));
    painter.restore();
}

void RdPlot::drawCurves(QPainter &painter, const QRectF &area, const Axis &x, const Axis &y, const QList<Curve> &curves)
{
    for (int index = 0; index < curves.size(); ++index) {
        QList<QPointF> points = curves.at(index).points;
        std::sort(points.begin(), points.end(), [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); });
        QPolygonF line;
        for (const QPointF &point : std::as_const(points))
            line << QPointF(x.at(point.x(), area.left(), area.right()), y.at(point.y(), area.bottom(), area.top()));
        painter.setPen(QPen(colourOf(index), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawPolyline(line);
        painter.setBrush(colourOf(index));
        for (const QPointF &at : std::as_const(line))
            drawMarker(painter, at, index);
    }
}

void RdPlot::drawLegend(QPainter &painter, const QRectF &area, const QList<Curve> &curves)
{
    const QFontMetrics metrics(painter.font());
    int widest = 0;
    for (const Curve &curve : curves)
        widest = std::max(widest, metrics.horizontalAdvance(curve.name));
    const QRectF box(area.left() + 14, area.top() + 14, widest + 60, 12 + 24 * curves.size());
    painter.setPen(QPen(QColor(0x99, 0x99, 0x99), 1));
    painter.setBrush(Qt::white);
    painter.drawRect(box);
    for (int index = 0; index < curves.size(); ++index) {
        const double rowY = box.top() + 18 + 24 * index;
        painter.setPen(QPen(colourOf(index), 2));
        painter.drawLine(QPointF(box.left() + 8, rowY), QPointF(box.left() + 38, rowY));
        painter.setBrush(colourOf(index));
        drawMarker(painter, QPointF(box.left() + 23, rowY), index);
        painter.setPen(Qt::black);
        painter.drawText(QRectF(box.left() + 46, rowY - 11, widest + 10, 22), Qt::AlignLeft | Qt::AlignVCenter,
                         curves.at(index).name);
    }
}
