#ifndef HENQ_H
#define HENQ_H

#include "base/mainwindowbase.h"
#include "decode/videodecoder.h"

#include <QProcess>
#include <QString>

#include <cstdio>

class QLineEdit;
class QPushButton;
class QTextBrowser;

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

public slots:
    void onFileOpen() override;
    void onSaveProject() override;
    void onCloseAll() override;
    void onEncode();
    void updateLog();
    void encoderDone(int exitCode, QProcess::ExitStatus exitStatus);
    void onCfgOpen();
    void onSelectEncoder();
    void onCfgSettings();
    void onOutputOpen();

protected:
    bool askYuvSettings(const QString &path, int prevWidth, int prevHeight);
    void launchEncoder(const QString &encoderInput, const FrameInfo &geometry);

    QString recentDir;
    QTextBrowser *logView;
    QLineEdit *inputEdit;
    QLineEdit *cfgEdit;
    QLineEdit *outputEdit;
    QLineEdit *encoderEdit;
    QProcess *encoderProcess;
    QPushButton *encodeButton;
    int prevWidth;
    int prevHeight;
    FrameInfo rawFrame;
    QString encoderInputPath;
    bool encoderInputIsTemporary;

private:
    // Waits for the launched encoder to start; on failure tells the user and discards it.
    bool encoderStarted();
    void storeSetting(const QString &key, const QVariant &value) const;
    QString pickFile(const QString &startDir, const QString &filter);
    // Lets the user pick a file for the field, starting in the current directory, and keeps
    // the choice under the settings key.
    void pickIntoField(QLineEdit *field, const QString &filter, const QString &key);
};

// Creates the transcoder window with the given parent, shows it and returns it.
MainWindowBase *createMainWindow(QWidget *parent);

#endif // HENQ_H
