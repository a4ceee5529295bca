#ifndef EXPERIMENTPLAN_H
#define EXPERIMENTPLAN_H

#include "report/yuvweights.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

class QJsonArray;
class QJsonObject;
class QJsonValue;

// One sequence of a coding experiment, with its paths made absolute.
struct PlanSequence
{
    QString name;
    QString path;               // a video file, or a raw .yuv file
    QString className;          // empty when the plan gives none
    qint64 frames = -1;         // the first N pictures; -1: all of them
    int rawWidth = 0;           // a raw input: its picture size and rate
    int rawHeight = 0;
    int fps = 0;
    QString cfgFile;            // the sequence's own configuration file, when it names one
    QByteArray cfgLines;        // the sequence's own configuration lines, when it lists them
    // A video's pictures, counted as the plan is read where a configuration lacks
    // FramesToBeEncoded and the sequence gives no "frames"; -1: not counted.
    qint64 counted = -1;

    bool raw() const { return rawWidth > 0 && rawHeight > 0; }
};

// One configuration of a coding experiment: an encoder with its configuration file, and
// optionally a decoder that checks and times every bitstream it makes.
struct PlanConfiguration
{
    QString name;
    bool anchor = false;
    QString encoder;
    QString cfg;
    QString decoder;            // empty: the bitstreams are not decoded
    // The suffix of its cells' bitstreams, after the codec its encoder writes with its cfg:
    // "265" for HEVC, "266" for VVC.
    QString bitstreamSuffix = QStringLiteral("265");
    // Where its cells were made before (another plan's folder of this configuration), read-only:
    // a cell whose record there fits is taken as it is; empty: none.
    QString cells;
};

// A coding experiment as its plan file describes it: every sequence is encoded with every
// configuration at every QP. The plan is read whole and checked before anything starts:
// unknown keys, a missing or second anchor, names given twice, files that cannot be read (or are
// no regular files), raw sequences that hold no picture and QPs that are no QPs are refused with
// the key and the entry named, and nothing is written.
class ExperimentPlan
{
public:
    // What the plan is read for: to run the experiment here, or only to follow its folder, which
    // another machine may fill with encoders this one lacks.
    enum Use { ToRun, ToFollow };

    // Reads and checks the plan; false with error() and status() (a sysexits code: 64 for a
    // plan that is wrong, 66 for a file it names that cannot be read, 69 for a program that
    // cannot be run) when it cannot be used. Read to follow, a program that is not here or
    // cannot be run here is no refusal: runProblem() says why it cannot run here.
    bool read(const QString &planPath, Use use = ToRun);

    const QString &error() const { return problem; }
    int status() const { return failure; }
    // Read to follow: why the experiment cannot run on this machine (the first program it names
    // that cannot be run here, with where the plan names it); empty when it can.
    const QString &runProblem() const { return unrunnable; }

    const QString &path() const { return planFile; }
    // The plan's file name without its suffix ("ctc" for ctc.json).
    QString name() const;
    // Where everything goes: the plan's "folder", else <plan name>.results/ beside the plan.
    const QString &folder() const { return resultsFolder; }
    const QList<PlanSequence> &sequences() const { return sequenceList; }
    const QList<PlanConfiguration> &configurations() const { return configurationList; }
    const QList<int> &qps() const { return qpList; }
    int anchorIndex() const { return anchor; }
    // How the planes weigh in the PSNR-YUV of the YUV BD-rate (default 6:1:1).
    const YuvWeights &yuvWeights() const { return weights; }
    int cellCount() const { return int(sequenceList.size() * configurationList.size() * qpList.size()); }

    // The plan's one order of its cells: by sequence, then configuration, then QP. A cell's index
    // means the same in every list of cells (the results, a runner's, a view's).
    struct CellPlace
    {
        int sequence = 0;
        int configuration = 0;
        int qpIndex = 0;           // into qps()
    };
    int cellIndex(int sequence, int configuration, int qpIndex) const
    {
        return (sequence * int(configurationList.size()) + configuration) * int(qpList.size()) + qpIndex;
    }
    CellPlace cellAt(int index) const
    {
        const int qps = int(qpList.size());
        const int configurations = int(configurationList.size());
        return {index / (qps * configurations), (index / qps) % configurations, index % qps};
    }

    // The configuration an encoder of the sequence gets: the configuration's file, then the
    // sequence's own lines, then what the experiment itself sets (the rate of a raw input, the
    // picture count, the source keys that the configuration lacks as the job hands the pictures
    // over: their depth, chroma format and count; no reconstructed pictures). Empty with
    // *problem set when a file cannot be read. *earlier: the same as an earlier version made it,
    // without those source keys; empty when it adds none. *read, where given, keeps the files read
    // by path, so that a pass over every cell reads each file once, not once a sequence.
    QByteArray cellConfiguration(const PlanSequence &sequence, const PlanConfiguration &configuration,
                                 QString *problem, QByteArray *earlier = nullptr,
                                 QHash<QString, QByteArray> *read = nullptr) const;

    // The names a configuration may not take: the results' own files and folders.
    static bool reservedName(const QString &name);

private:
    bool fail(int status, const QString &where, const QString &text);
    // Entry i of the list under `key`, which must be an object (`noun` names it in the refusal),
    // and where it stands for messages: `sequences[1] "Raw"`.
    bool entry(const QJsonArray &list, qsizetype i, const QString &key, const QString &noun, QJsonObject *object,
               QString *where);
    bool readSequences(const QJsonValue &value);
    bool readSequence(const QJsonObject &object, const QString &where, PlanSequence *sequence);
    bool readRawGeometry(const QJsonObject &object, const QString &where, PlanSequence *sequence);
    bool readSequenceCfg(const QJsonValue &value, const QString &where, PlanSequence *sequence);
    bool readConfigurations(const QJsonValue &value);
    bool readConfiguration(const QJsonObject &object, const QString &where, PlanConfiguration *configuration);
    bool readQps(const QJsonValue &value);
    bool readFolder(const QJsonValue &value);
    bool readYuvWeights(const QJsonValue &value);
    bool checkNames(const QStringList &names, const QString &list);
    bool checkRawPictures();
    bool countVideoPictures();
    bool checkReadable(const QString &path, const QString &where, const QString &key);
    bool checkProgram(const QString &path, const QString &where, const QString &key);
    QString resolved(const QString &path) const;
    QString program(const QString &name) const;

    QString planFile;
    QString resultsFolder;
    QList<PlanSequence> sequenceList;
    QList<PlanConfiguration> configurationList;
    QList<int> qpList;
    int anchor = -1;
    YuvWeights weights;
    QString problem;
    int failure = 0;
    Use purpose = ToRun;
    QString unrunnable;
};

#endif // EXPERIMENTPLAN_H
