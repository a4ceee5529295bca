#include "streamindex.h"

#include <QFile>

int StreamIndex::lastShown() const
{
    int last = -1;
    for (int i = 0; i < units.size(); ++i) {
        const Unit &unit = units.at(i);
        if (!unit.picture || !unit.shown)
            continue;
        if (last < 0 || unit.codedSequence > units.at(last).codedSequence
            || (unit.codedSequence == units.at(last).codedSequence
                && unit.pictureOrderCount > units.at(last).pictureOrderCount))
            last = i;
    }
    return last;
}

bool StreamIndex::placeUnits(QFile *file, const QList<qint64> &firstNalUnits)
{
    for (qsizetype i = 0; i < units.size(); ++i) {
        qint64 start = i == 0 ? 0 : firstNalUnits.at(i) - 3;
        while (start > 0) {
            const qint64 from = qMax<qint64>(0, start - 64);
            if (!file->seek(from))
                return false;
            const QByteArray before = file->read(start - from);
            if (before.size() != start - from)
                return false;
            qsizetype zeros = 0;
            while (zeros < before.size() && before.at(before.size() - 1 - zeros) == 0)
                ++zeros;
            start -= zeros;
            if (zeros < before.size())
                break;
        }
        units[i].start = start;
        if (i > 0)
            units[i - 1].end = start;
    }
    if (!units.isEmpty())
        units.last().end = size;
    return true;
}
