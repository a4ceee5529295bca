#include "celllistmodel.h"

#include "experiment/experimentplan.h"
#include "report/qualityreport.h"

#include <QBrush>
#include <QColor>

CellListModel::CellListModel(const ExperimentPlan &plan, QObject *parent)
    : QAbstractTableModel(parent)
{
    for (const PlanSequence &sequence : plan.sequences())
        sequenceNames << sequence.name;
    for (const PlanConfiguration &configuration : plan.configurations())
        configurationNames << configuration.name;
    list.reserve(plan.cellCount());
    for (int i = 0; i < plan.cellCount(); ++i)
        list << CellState::at(plan, i);
}

void CellListModel::update(const QList<CellState> &changed)
{
    int first = int(list.size()), last = -1;
    for (const CellState &cell : changed) {
        if (cell.index < 0 || cell.index >= list.size())
            continue;
        list[cell.index] = cell;
        first = qMin(first, cell.index);
        last = qMax(last, cell.index);
    }
    if (last >= first)
        emit dataChanged(index(first, 0), index(last, columns - 1));
}

int CellListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(list.size());
}

int CellListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : columns;
}

QVariant CellListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= list.size())
        return QVariant();
    const CellState &cell = list.at(index.row());
    if (role == Qt::ForegroundRole && index.column() == StateColumn) {
        switch (cell.kind) {
        case CellState::Failed:
            return QBrush(QColor(0xb0, 0x20, 0x20));
        case CellState::Running:
            return QBrush(QColor(0x20, 0x50, 0xb0));
        case CellState::Done:
            return QBrush(QColor(0x20, 0x80, 0x30));
        default:
            return QVariant();
        }
    }
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
    case SequenceColumn:
        return sequenceNames.value(cell.figures.sequence);
    case ConfigurationColumn:
        return configurationNames.value(cell.figures.configuration);
    case QpColumn:
        return cell.figures.qp;
    case StateColumn:
        return stateText(cell);
    default:
        return detailText(cell);
    }
}

QVariant CellListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    static const char *const names[columns] = {"Sequence", "Configuration", "QP", "State", "Details"};
    return tr(names[section]);
}

QString CellListModel::stateText(const CellState &cell)
{
    switch (cell.kind) {
    case CellState::Running:
        return tr("running");
    case CellState::Done:
        return tr("done");
    case CellState::Failed:
        return tr("failed (exit %1)").arg(cell.figures.exitCode);
    default:
        return tr("waiting");
    }
}

namespace {

// Seconds as the tables give them: short cells in tenths, long ones on a clock.
QString secondsText(double seconds)
{
    return seconds < 60 ? QStringLiteral("%1 s").arg(seconds, 0, 'f', 1) : QualityReport::clockText(seconds);
}

QString howFar(const CellState &cell)
{
    QStringList parts;
    if (cell.segmentsTotal > 0)
        parts << QObject::tr("%1 of %2 segments").arg(cell.segmentsDone).arg(cell.segmentsTotal);
    if (cell.picturesDone >= 0 && cell.picturesTotal > 0)
        parts << QObject::tr("%1 of %2 pictures").arg(cell.picturesDone).arg(cell.picturesTotal);
    else if (cell.picturesDone > 0)
        parts << QObject::tr("%1 pictures").arg(cell.picturesDone);
    return parts.join(QStringLiteral(", "));
}

} // namespace

QString CellListModel::detailText(const CellState &cell)
{
    const CellFigures &f = cell.figures;
    switch (cell.kind) {
    case CellState::Running: {
        QString text = cell.holder.isEmpty() ? cell.note : QStringLiteral("%1 on %2").arg(cell.note, cell.holder);
        const QString far = howFar(cell);
        if (!far.isEmpty())
            text += QStringLiteral(", ") + far;
        if (cell.hosts.size() > 1)
            text += tr(" (hosts: %1)").arg(cell.hosts.join(QStringLiteral(", ")));
        return text;
    }
    case CellState::Done: {
        QString text = tr("%1 kbit/s, PSNR-Y %2 dB, encoded in %3")
                           .arg(f.kbitPerSecond, 0, 'f', 1)
                           .arg(f.psnrY, 0, 'f', 2)
                           .arg(secondsText(f.encoderSeconds));
        if (f.decoderSeconds)
            text += tr(", decoded in %1").arg(secondsText(*f.decoderSeconds));
        if (!f.hash.isEmpty())
            text += tr(", hashes %1").arg(f.hash);
        return text;
    }
    case CellState::Failed:
        // The last lines are many: the cell's own view below shows them.
        return f.failure;
    default:
        return cell.note;
    }
}
