#include "jobmessages.h"

#include <QStringList>

QString JobMessages::encoderEnd(int code, bool crashed)
{
    return crashed ? QStringLiteral("the encoder was ended by signal %1").arg(code)
                   : QStringLiteral("the encoder exited with code %1").arg(code);
}

QString JobMessages::encoderEndLine(const QString &segment, int code, bool crashed, const QString &given)
{
    QString line = encoderEnd(code, crashed);
    if (!given.isEmpty())
        line += QStringLiteral(" after it was given %1 pictures").arg(given);
    if (segment.isEmpty())
        line[0] = line.at(0).toUpper();
    else
        line = segment + QStringLiteral(": ") + line;
    return line + QLatin1Char('.');
}

QString JobMessages::stoppedAfter(qint64 pictures)
{
    return QStringLiteral("Encoding stopped after %1 pictures.").arg(pictures);
}

QString JobMessages::oneLine(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line = line.trimmed();
    return lines.join(QLatin1Char(' '));
}

QString JobMessages::closing(const QString &reason)
{
    return reason.endsWith(QLatin1Char('.')) ? reason : reason + QLatin1Char('.');
}
