#ifndef HENQ_H
#define HENQ_H

#include "base/mainwindowbase.h"
#include "decode/videodecoder.h"
#include "job/transcodejob.h"

#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdio>

class Codec;
class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTextBrowser;
class QToolButton;
class ReportDialog;

// The transcoder window: four path fields, the encode button and the encoder's log.
class HenQ : public MainWindowBase
{
    Q_OBJECT

public:
    explicit HenQ(QWidget *parent);
    ~HenQ() override;

    bool fileOpenImp(QString &path, bool drag) override;

    // The output proposed for an input: the input's suffix replaced by "265", never the
    // input path itself.
    static QString proposeOutputPath(const QString &inputPath);

    // Whether the file holds an experiment's plan rather than a video: a JSON object with the
    // plan's "sequences" and "configurations".
    static bool isExperimentPlan(const QString &path);

signals:
    // A plan file was dropped on the window: it opens in a view of its own, never as the input.
    void experimentDropped(const QString &planPath);

public slots:
    void onFileOpen() override;
    void onSaveProject() override;
    void onCloseAll() override;
    // Starts a job, or, while one runs, offers to stop it.
    void onEncode();
    // Appends the encoder's output to the log pane (up to a zero byte in the piece).
    void updateLog(const QByteArray &output);
    // Tells the user how the job ended and makes the button start jobs again.
    void jobFinished(const JobResult &result);
    void onCfgOpen();
    void onSelectEncoder();
    void onCfgSettings();
    void onOutputOpen();

protected:
    // Closing while a job runs asks first; the job is stopped before the window goes.
    void closeEvent(QCloseEvent *event) override;
    // Dropping a local file sets it as the input exactly as the input picker does.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

    // Takes a path the user chose as the input: a raw YUV file is described in the raw YUV
    // dialog, any other file must open in the decoder ("Unsupported file" otherwise).
    bool chooseInput(QString path);
    bool askYuvSettings(const QString &path, int prevWidth, int prevHeight);

    QString recentDir;
    QTextBrowser *logView;
    QLineEdit *inputEdit;
    QLineEdit *cfgEdit;
    QLineEdit *outputEdit;
    QLineEdit *encoderEdit;
    QPushButton *encodeButton;
    QSpinBox *encodersBox;   // encoders at once, each on its own segment of the input
    QProgressBar *progressBar;
    QLabel *progressLabel;
    QToolButton *reportButton;  // opens the last job's quality report; shown once a job has one
    TranscodeJob *job;
    int prevWidth;
    int prevHeight;
    FrameInfo rawFrame;
    int rawFps;              // frame rate typed in the raw YUV dialog; 0 when not asked
    qint64 droppedLogLines;  // encoder output lines no longer in the log pane
    QualityReport lastReport;
    // The job's lines logged before its command line, which replaces the log pane's text: they
    // follow it there. Cleared once the command line is shown.
    QStringList linesBeforeCommandLine;
    bool commandLineShown = false;
    // The codec the chosen encoder writes with the chosen configuration: the output's proposed
    // name and the output picker follow it.
    const Codec *encoderCodec = nullptr;

private:
    // Asks again which codec the encoder and configuration fields make, and where it changed,
    // gives the output field the suffix of that codec's outputs.
    void followEncoderCodec();
    // The path with the suffix the encoder's codec allows: a raw stream of another codec gets
    // this codec's suffix (".265", ".266"), and so does a container where this codec goes into
    // none here (VVC). Any other path is kept as it is.
    QString withCodecSuffix(const QString &path) const;
    bool confirmStop();
    void showRunning(bool running);
    void showCommandLine(const QString &commandLine);
    void showProgress(const JobProgress &progress);
    void showPreparing(const JobProgress &progress);
    void appendLogLine(const QString &line);
    // Keeps the report of a job that ended, for the report control to open.
    void offerReport(const JobResult &result);
    void showReport();
    void appendLogText(const QString &text);
    void trimLog();
    void storeSetting(const QString &key, const QVariant &value) const;
    QString pickFile(const QString &startDir, const QString &filter);
    // Lets the user pick a file for the field, starting in the current directory, and keeps
    // the choice under the settings key.
    void pickIntoField(QLineEdit *field, const QString &filter, const QString &key);

    QPointer<ReportDialog> reportDialog;
};

// Creates the transcoder window with the given parent, shows it and returns it.
MainWindowBase *createMainWindow(QWidget *parent);

#endif // HENQ_H
