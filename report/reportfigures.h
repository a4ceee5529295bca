#ifndef REPORTFIGURES_H
#define REPORTFIGURES_H

#include <QString>

struct ReportSummary;

// Whether the figures of a quality report can be a point of a rate-distortion curve: a rate
// and the PSNRs, present and in range (U and V may be unknown, for pictures without chroma,
// and then stay out of the curves). One check for every reader of reports: --bd-rate
// and an experiment's cells.
namespace ReportFigures {

// Why they cannot, naming the report and the field; empty when they can. rate is the summary's
// kbit/s, or for a CSV report (which holds no frame rate) the kbit a picture of its rows.
QString problem(const QString &path, const ReportSummary &summary, double rate, bool csv);

} // namespace ReportFigures

#endif // REPORTFIGURES_H
