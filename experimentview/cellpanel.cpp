#include "cellpanel.h"

#include "celllistmodel.h"

#include "report/qualityreport.h"
#include "window/reportdialog.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

namespace {

// The most of a log the log view shows: its end, where the last run is.
constexpr qint64 logTail = 2 << 20;

} // namespace

CellPanel::CellPanel(const ExperimentPlan &plan, QWidget *parent)
    : QWidget(parent)
    , plan(plan)
    , model(new CellListModel(plan, this))
    , list(new QTableView(this))
    , details(new QPlainTextEdit(this))
    , reportButton(new QPushButton(tr("Quality &report"), this))
    , logButton(new QPushButton(tr("&Log"), this))
{
    list->setModel(model);
    list->verticalHeader()->hide();
    list->verticalHeader()->setDefaultSectionSize(list->fontMetrics().height() + 6);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setWordWrap(false);
    list->horizontalHeader()->setStretchLastSection(true);
    details->setReadOnly(true);
    details->setMaximumBlockCount(200);
    auto *buttons = new QVBoxLayout;
    buttons->addWidget(reportButton);
    buttons->addWidget(logButton);
    buttons->addStretch();
    auto *below = new QHBoxLayout;
    below->addWidget(details, 1);
    below->addLayout(buttons);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(list, 2);
    layout->addLayout(below, 1);
    connect(list->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &CellPanel::showChosen);
    connect(reportButton, &QPushButton::clicked, this, &CellPanel::openReport);
    connect(logButton, &QPushButton::clicked, this, &CellPanel::openLog);
    showChosen();
}

void CellPanel::update(const QList<CellState> &changed)
{
    model->update(changed);
    for (const CellState &cell : changed)
        if (cell.index == chosen()) {
            showChosen();
            break;
        }
    if (list->horizontalHeader()->sectionSize(0) < 40)
        list->resizeColumnsToContents();
}

const QList<CellState> &CellPanel::cells() const
{
    return model->cells();
}

CellFiles CellPanel::filesOf(const CellState &cell) const
{
    const CellFiles files = CellFiles::of(plan, cell.figures.sequence, cell.figures.configuration, cell.figures.qp);
    return cell.madeBefore && !files.made.isEmpty() ? files.madeBefore() : files;
}

void CellPanel::choose(int index)
{
    list->setCurrentIndex(model->index(index, 0));
    list->scrollTo(model->index(index, 0), QAbstractItemView::PositionAtTop);
}

int CellPanel::chosen() const
{
    return list->currentIndex().isValid() ? list->currentIndex().row() : -1;
}

void CellPanel::showChosen()
{
    const int index = chosen();
    if (index < 0) {
        details->setPlainText(tr("Choose a cell to see it in full."));
        reportButton->setEnabled(false);
        logButton->setEnabled(false);
        return;
    }
    const CellState &cell = model->cells().at(index);
    QStringList lines{CellListModel::stateText(cell) + QStringLiteral(": ") + CellListModel::detailText(cell)};
    if (cell.kind == CellState::Failed && !cell.figures.lastLines.isEmpty())
        lines << tr("Its last lines:") << cell.figures.lastLines;
    const CellFiles files = filesOf(cell);
    lines << tr("Bitstream: %1").arg(QDir::toNativeSeparators(files.bitstream));
    details->setPlainText(lines.join(QLatin1Char('\n')));
    reportButton->setEnabled(cell.kind == CellState::Done);
    logButton->setEnabled(QFileInfo::exists(files.log));
}

QWidget *CellPanel::openReport()
{
    const int index = chosen();
    if (index < 0)
        return nullptr;
    const CellFiles files = filesOf(model->cells().at(index));
    QFile file(files.report);
    QualityReport report;
    QString error;
    if (!file.open(QIODevice::ReadOnly))
        error = file.errorString();
    else if (!QualityReport::fromJson(file.read(qMin<qint64>(file.size(), 64 << 20)), &report, &error) && error.isEmpty())
        error = tr("it holds no quality report");
    if (!error.isEmpty()) {
        QMessageBox::warning(this, tr("Quality report"),
                             tr("Cannot read the quality report %1:\n%2.").arg(QDir::toNativeSeparators(files.report), error));
        return nullptr;
    }
    auto *dialog = new ReportDialog(report, QFileInfo(files.bitstream).fileName(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    return dialog;
}

QWidget *CellPanel::openLog()
{
    const int index = chosen();
    if (index < 0)
        return nullptr;
    const QString path = filesOf(model->cells().at(index)).log;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        QMessageBox::warning(this, tr("Log"), tr("Cannot read the log %1:\n%2.")
                                                  .arg(QDir::toNativeSeparators(path), file.errorString()));
        return nullptr;
    }
    if (file.size() > logTail)
        file.seek(file.size() - logTail);
    auto *dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QDir::toNativeSeparators(path));
    auto *text = new QPlainTextEdit(dialog);
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setPlainText(QString::fromUtf8(file.readAll()));
    text->moveCursor(QTextCursor::End);
    auto *layout = new QVBoxLayout(dialog);
    layout->addWidget(text);
    dialog->resize(820, 480);
    dialog->show();
    return dialog;
}
