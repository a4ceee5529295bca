#include "makespanplot.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace MakespanPlot {

bool draw(const QString &path, const QList<int> &processes, const QList<double> &job, const QList<double> &experiment)
{
    QImage image(880, 560, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area(90, 60, 740, 420);
    double top = 1.10;
    for (double value : job + experiment)
        top = std::max(top, std::ceil((value + 0.01) * 20) / 20);
    const double maxProcesses = processes.isEmpty() ? 48 : *std::max_element(processes.begin(), processes.end());
    const auto at = [&](double p, double ratio) {
        return QPointF(area.left() + area.width() * p / maxProcesses,
                       area.bottom() - area.height() * (ratio - 1.0) / (top - 1.0));
    };
    QFont font = painter.font();
    font.setPixelSize(15);
    painter.setFont(font);
    double step = 0.01;
    for (double candidate : {0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0})
        if ((top - 1.0) / step > 10)
            step = candidate;
    painter.setPen(QPen(Qt::lightGray, 1));
    for (double ratio = 1.0; ratio <= top + 1e-9; ratio += step) {
        painter.drawLine(at(0, ratio), at(maxProcesses, ratio));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(area.left() - 80, at(0, ratio).y() - 10, 70, 20), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(ratio, 'f', 2));
        painter.setPen(QPen(Qt::lightGray, 1));
    }
    painter.setPen(Qt::black);
    for (int p : processes)
        painter.drawText(QRectF(at(p, 1.0).x() - 30, area.bottom() + 8, 60, 20), Qt::AlignCenter, QString::number(p));
    painter.drawRect(area);
    painter.setPen(QPen(QColor(200, 60, 60), 1.5, Qt::DashLine));
    painter.drawLine(at(0, 1.03), at(maxProcesses, 1.03));
    painter.drawText(QRectF(area.left() + 8, at(0, 1.03).y() - 22, 300, 20), Qt::AlignLeft, "target: 3 % over the ideal");
    const auto curve = [&](const QList<double> &values, const QColor &colour, const QString &label, int row) {
        painter.setPen(QPen(colour, 2.5));
        QPainterPath path;
        for (int i = 0; i < values.size() && i < processes.size(); ++i) {
            const QPointF point = at(processes[i], values[i]);
            i == 0 ? path.moveTo(point) : path.lineTo(point);
        }
        painter.drawPath(path);
        painter.setBrush(colour);
        for (int i = 0; i < values.size() && i < processes.size(); ++i)
            painter.drawEllipse(at(processes[i], values[i]), 4.5, 4.5);
        painter.setBrush(Qt::NoBrush);
        const QPointF key(area.right() - 280, area.top() + 20 + 24 * row);
        painter.drawLine(key, key + QPointF(30, 0));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(key.x() + 38, key.y() - 10, 240, 20), Qt::AlignLeft | Qt::AlignVCenter, label);
    };
    curve(job, QColor(40, 90, 180), "one job in segments", 0);
    curve(experiment, QColor(230, 140, 20), "an experiment's cells", 1);
    painter.setPen(Qt::black);
    font.setPixelSize(18);
    painter.setFont(font);
    painter.drawText(QRectF(0, 12, image.width(), 30), Qt::AlignCenter,
                     "Simulated cluster: wall time over the ideal (work / processes)");
    font.setPixelSize(15);
    painter.setFont(font);
    painter.drawText(QRectF(area.left(), area.bottom() + 34, area.width(), 20), Qt::AlignCenter,
                     "processes, one encoder each, one host name each");
    painter.end();
    return image.save(path);
}

} // namespace MakespanPlot
