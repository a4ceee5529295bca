#ifndef CELLLISTMODEL_H
#define CELLLISTMODEL_H

#include "cellstate.h"

#include <QAbstractTableModel>
#include <QList>
#include <QStringList>

class ExperimentPlan;

// Every cell of an experiment as a row: sequence, configuration, QP, its state and what there is
// to say of it (who runs it and how far, its figures, or why it failed). Rows change in place as
// the follower tells of cells, so that a view of hundreds of them keeps its selection and place.
class CellListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { SequenceColumn, ConfigurationColumn, QpColumn, StateColumn, DetailColumn, columns };

    CellListModel(const ExperimentPlan &plan, QObject *parent = nullptr);

    void update(const QList<CellState> &changed);
    const QList<CellState> &cells() const { return list; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The state in a word ("running", "failed (exit 3)") and the rest in a line.
    static QString stateText(const CellState &cell);
    static QString detailText(const CellState &cell);

private:
    QStringList sequenceNames;
    QStringList configurationNames;
    QList<CellState> list;
};

#endif // CELLLISTMODEL_H
