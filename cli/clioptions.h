#ifndef CLIOPTIONS_H
#define CLIOPTIONS_H

#include "job/transcodejob.h"
#include "report/yuvweights.h"

#include <QList>
#include <QString>
#include <QStringList>

// What the command line asks for, with every default filled in the way the window fills its
// fields: configuration and encoder from the settings store, else from the program's own
// folder; the output named after the input; a raw input's size from --size, else guessed
// from its name or taken over from the last raw input.
class CliOptions
{
public:
    enum Action { Transcode, Join, BdRate, Experiment, ShowHelp, ShowVersion };
    enum Progress {
        ProgressText,   // a status line on a terminal, else a line every few seconds
        ProgressJson,   // one JSON object a line
        ProgressNone
    };

    // False for a usage error, which error() then describes in one line.
    bool parse(const QStringList &arguments);

    Action action() const { return chosenAction; }
    const JobSettings &settings() const { return jobSettings; }
    Progress progress() const { return progressStyle; }
    bool quiet() const { return quietRun; }
    // An input that ends before the pictures it declares fails the run.
    bool strict() const { return strictRun; }
    // --join may replace an existing OUTPUT.
    bool overwrite() const { return overwriteOutput; }
    // --join: the pictures the joined segments must hold in all; -1 when not given.
    qint64 expectedPictures() const { return expected; }
    // Where the encoder's own output goes instead of standard output; empty: standard output.
    const QString &encoderLog() const { return encoderLogPath; }
    // --join: the output and the segments in order.
    const QString &joinOutput() const { return joinTarget; }
    const QStringList &segments() const { return segmentPaths; }
    // --report: the file the quality report goes to (empty: none).
    const QString &reportPath() const { return reportFile; }
    // --qp: one job per QP, each with its own output and report.
    const QList<int> &sweepQps() const { return qps; }
    // The options of one job of a QP sweep: the QP handed to the encoder, "_QP<n>" added to the
    // output's name and the report's (by default the output's name ending in .json).
    CliOptions sweepPoint(int qp) const;
    bool isSweepPoint() const { return sweepPointRun; }
    // The file name with "_QP<n>" before its suffix.
    static QString qpFileName(const QString &path, int qp);
    // --bd-rate ANCHOR... --vs TEST...
    const QStringList &anchorReports() const { return anchors; }
    const QStringList &testReports() const { return tests; }
    // --yuv-weights Y:U:V with --bd-rate: how the planes weigh in the YUV BD-rate (6:1:1).
    const YuvWeights &yuvWeights() const { return bdWeights; }
    // --experiment PLAN.json, and --results: write the results only.
    const QString &experimentPlan() const { return planFile; }
    bool resultsOnly() const { return onlyResults; }
    // --anchor NAME with --experiment: the configuration the extra tables are taken against.
    const QString &comparisonAnchor() const { return referenceName; }
    const QString &error() const { return errorText; }
    const QString &helpText() const { return help; }

private:
    struct Option;
    // Every option, one declaration each, in the order --help lists them.
    static const QList<Option> &table();
    static const QList<Option> options;
    bool fail(const QString &text);
    bool finishJoin(const QStringList &positional);
    bool finishTranscode(const QStringList &positional, const QStringList &given);
    bool finishExperiment(const QStringList &positional, const QStringList &given);
    bool readJobs(const QString &value);
    bool readRawGeometry(const QString &size, const QString &rate, int prevWidth, int prevHeight);
    bool readReport(const QString &report);
    bool readQps(const QString &qpList);
    bool parseBdRate(const QStringList &arguments);
    bool readProgressStyle(const QString &style);

    Action chosenAction = Transcode;
    JobSettings jobSettings;
    Progress progressStyle = ProgressText;
    bool quietRun = false;
    bool strictRun = false;
    bool overwriteOutput = false;
    bool overlapTask = false;   // --overlap: one picture more, the filter's margin around the share
    qint64 expected = -1;
    QString encoderLogPath;
    QString rawSize;     // --size and --fps as given, read once the input is known to be raw
    QString rawRate;
    QString joinTarget;
    QStringList segmentPaths;
    QString reportFile;
    QList<int> qps;
    bool sweepPointRun = false;
    QStringList anchors;
    QStringList tests;
    YuvWeights bdWeights;
    QString planFile;
    bool onlyResults = false;
    QString referenceName;
    QString errorText;
    QString help;
};

#endif // CLIOPTIONS_H
