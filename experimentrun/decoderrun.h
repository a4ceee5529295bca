#ifndef DECODERRUN_H
#define DECODERRUN_H

#include "experiment/decoderoutcome.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

class QTimer;

// One decoder over one cell's bitstream, as the reference decoder is run by hand:
// `decoder -b BITSTREAM -o /dev/null`. Its output goes into the cell's log; its lines tell the
// pictures it decoded and, when the stream carries decoded-picture hashes, which of them
// checked out ("[MD5:...,(OK)]") and which did not ("***ERROR***"). Its CPU time (user and
// system) is taken as it is reaped.
class DecoderRun : public QObject
{
    Q_OBJECT

public:
    using Outcome = DecoderOutcome;

    DecoderRun(const QString &decoder, const QString &bitstream, const QString &logPath, QObject *parent = nullptr);
    ~DecoderRun() override;

    void start();
    // Terminates the decoder (killed after 2 s); finished() follows.
    void stop();
    void abort();

signals:
    void finished(const DecoderOutcome &outcome);

private:
    void readOutput(bool last);
    void countLine(const QByteArray &line);
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onError(QProcess::ProcessError error);

    const QString decoder;
    const QString bitstream;
    QProcess process;
    QFile logFile;
    QByteArray partial;
    QTimer *killTimer = nullptr;
    bool stopping = false;
    bool done = false;
    Outcome result;
};

#endif // DECODERRUN_H
