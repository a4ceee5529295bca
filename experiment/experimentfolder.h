#ifndef EXPERIMENTFOLDER_H
#define EXPERIMENTFOLDER_H

#include <QString>
#include <QStringList>

class ExperimentPlan;

// The folder of an experiment's results as one plan's own. The first plan to use a folder
// leaves a small record in it, experiment.record, that names the plan (its file's absolute
// path) and who made it; every later start reads it: the plan it names goes on, any other is
// refused, as a job's parts folder refuses a job of other settings. Two plans on one folder
// would otherwise encode each other's cells again and write their tables over each other's.
//
// A folder without the record becomes the plan's when it holds nothing, or when an earlier
// version of the program made it for the plan (a cell's record there names the plan's
// sequence); a folder holding other files is refused, naming them, for the experiment would
// write over them or mix its files with them.
class ExperimentFolder
{
public:
    static const QString recordName;

    // Makes the folder the plan's (making it first when `make`), or finds it is; an empty
    // string when the plan may use it, else why not.
    static QString take(const ExperimentPlan &plan, bool make);
    // The plan file the record in the folder names; empty where there is no record (and
    // *problem set when it cannot be read).
    static QString owner(const QString &folder, QString *problem);

private:
    static QString planOf(const ExperimentPlan &plan);
    static bool madeForPlan(const ExperimentPlan &plan);
    static QStringList files(const QString &folder);
    // Puts the record in place unless one is there; *raced when another process's came first.
    static QString writeRecord(const ExperimentPlan &plan, bool *raced);
};

#endif // EXPERIMENTFOLDER_H
