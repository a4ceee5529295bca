#include "fuzzsupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace FuzzSupport {

void fail(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: expected %s\n", file, line, what);
    std::abort();
}

QString folder()
{
    static QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/morlunex-fuzz-XXXXXX"));
    if (!scratch.isValid()) {
        std::fprintf(stderr, "cannot make a folder in %s\n", qPrintable(QDir::tempPath()));
        std::abort();
    }
    return scratch.path();
}

QString writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = folder() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::abort();
    }
    return path;
}

QList<PlainUnit> plainUnits(const QByteArray &stream)
{
    QList<qsizetype> starts;   // of each start code
    for (qsizetype i = 0; i + 2 < stream.size(); ++i) {
        if (stream.at(i) == 0 && stream.at(i + 1) == 0 && stream.at(i + 2) == 1) {
            starts << i;
            i += 4;   // on to the unit's third byte, less the loop's step
        }
    }
    QList<PlainUnit> units;
    for (qsizetype n = 0; n < starts.size(); ++n) {
        const qsizetype offset = starts.at(n) + 3;
        if (offset + 2 > stream.size())
            break;
        const qsizetype end = n + 1 < starts.size() ? starts.at(n + 1) : stream.size();
        units << PlainUnit{offset, stream.mid(offset, end - offset)};
    }
    return units;
}

} // namespace FuzzSupport
