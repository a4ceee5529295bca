#include "yuvweights.h"

#include <QRegularExpression>
#include <QStringList>

#include <cmath>

QString YuvWeights::text() const
{
    return QStringLiteral("%1:%2:%3").arg(y, 0, 'g', 6).arg(u, 0, 'g', 6).arg(v, 0, 'g', 6);
}

QString YuvWeights::problem(double y, double u, double v)
{
    for (double weight : {y, u, v})
        if (!std::isfinite(weight) || weight < 0 || weight > maximum)
            return QStringLiteral("a weight of %1 (each is a number from 0 to %2)").arg(weight).arg(maximum);
    if (y + u + v <= 0)
        return QStringLiteral("no weight above 0");
    return QString();
}

bool YuvWeights::parse(const QString &text, YuvWeights *weights, QString *error)
{
    static const QRegularExpression separator(QStringLiteral("[:,]"));
    const QStringList parts = text.split(separator);
    double values[3] = {0, 0, 0};
    bool numbers = parts.size() == 3;
    for (int i = 0; numbers && i < 3; ++i)
        values[i] = parts.at(i).trimmed().toDouble(&numbers);
    const QString problem = numbers ? YuvWeights::problem(values[0], values[1], values[2])
                                    : QStringLiteral("three numbers are wanted, as in 6:1:1");
    if (!problem.isEmpty()) {
        *error = QStringLiteral("the weights of Y, U and V are not \"%1\": %2").arg(text, problem);
        return false;
    }
    *weights = YuvWeights{values[0], values[1], values[2]};
    return true;
}
