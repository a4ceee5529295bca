#include "cellcheck.h"

#include "join/streaminspector.h"
#include "report/qualityreport.h"
#include "report/reportfigures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cmath>

namespace CellCheck {

namespace {

struct Walked
{
    qint64 size = -1;
    qint64 modifiedMs = 0;
    Bitstream bitstream;
};

} // namespace

Bitstream inspect(const QString &path)
{
    // The results of an experiment are gathered again and again; its bitstreams stay as they
    // were, and some are large.
    static QHash<QString, Walked> walked;
    const QFileInfo info(path);
    const qint64 size = info.size();
    const qint64 modifiedMs = info.lastModified().toMSecsSinceEpoch();
    const auto known = walked.constFind(path);
    if (known != walked.cend() && known->size == size && known->modifiedMs == modifiedMs)
        return known->bitstream;
    const StreamSummary summary = StreamInspector::inspect(path);
    Walked now{size, modifiedMs, {}};
    now.bitstream.problem = summary.problem;
    now.bitstream.pictures = summary.pictures;
    now.bitstream.opensWell = summary.opensWithParameterSets && summary.opensWithRandomAccess;
    now.bitstream.endsWhole = summary.endsWithWholeUnit;
    now.bitstream.hashes = summary.pictureHashes;
    if (summary.problem.isEmpty())
        walked.insert(path, now);
    return now.bitstream;
}

QString madeProblem(const Bitstream &bitstream, qint64 handed)
{
    if (!bitstream.problem.isEmpty())
        return QStringLiteral("its bitstream is unreadable: %1").arg(bitstream.problem);
    if (bitstream.pictures != handed)
        return QStringLiteral("the encoder exited with 0 but its bitstream holds %1 pictures, not %2")
            .arg(bitstream.pictures).arg(handed);
    if (!bitstream.opensWell)
        return QStringLiteral("its bitstream does not open with parameter sets and a random-access picture");
    if (!bitstream.endsWhole)
        return QStringLiteral("its bitstream ends in the middle of a NAL unit");
    return QString();
}

QString reportProblem(const QString &path, qint64 pictures, qint64 bytes, ReportSummary *summary)
{
    const QString shown = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("its report %1 cannot be read: %2").arg(shown, file.errorString());
    QualityReport report;
    QString error;
    // read(n) sets n bytes aside before it reads: no more than the file holds.
    if (!QualityReport::fromJson(file.read(qMin<qint64>(file.size(), 64 << 20)), &report, &error))
        return QStringLiteral("its report %1 is no quality report: %2").arg(shown, error);
    *summary = report.summary();
    const QString figures = ReportFigures::problem(shown, *summary, summary->kbitPerSecond, false);
    if (!figures.isEmpty())
        return figures;
    if (summary->pictures != pictures)
        return QStringLiteral("its report %1 covers %2 pictures, not the %3 of its bitstream")
            .arg(shown).arg(summary->pictures).arg(pictures);
    if (summary->bytes != bytes)
        return QStringLiteral("its report %1 gives %2 bytes, not the %3 of its bitstream")
            .arg(shown).arg(summary->bytes).arg(bytes);
    // The report keeps the rate to four decimals and the picture rate to six.
    const double rate = summary->frameRate > 0 ? bytes * 8.0 * summary->frameRate / pictures / 1000.0 : 0;
    if (!(std::abs(summary->kbitPerSecond - rate) <= 1e-4 + rate * 1e-6))
        return QStringLiteral("its report %1 gives a rate of %2 kbit/s, while its bitstream's %3 bytes over %4 "
                              "pictures at %5 a second make %6")
            .arg(shown).arg(summary->kbitPerSecond).arg(bytes).arg(pictures).arg(summary->frameRate)
            .arg(rate, 0, 'f', 4);
    return QString();
}

} // namespace CellCheck
