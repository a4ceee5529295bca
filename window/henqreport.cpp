#include "henq.h"

#include "reportdialog.h"

#include <QToolButton>

// The quality report of the last job: kept when the job ends, shown in its own dialog.

void HenQ::offerReport(const JobResult &result)
{
    // A job that could not get the encoder going has nothing to show.
    if (result.outcome == JobResult::Failed && result.report.rowCount() == 0)
        return;
    lastReport = result.report;
    reportButton->show();
}

void HenQ::showReport()
{
    // One dialog at a time, showing the newest report.
    if (reportDialog)
        reportDialog->close();
    reportDialog = new ReportDialog(lastReport, lastReport.summary().output, this);
    reportDialog->setAttribute(Qt::WA_DeleteOnClose);
    reportDialog->show();
}
