#ifndef ENCODERCOMMAND_H
#define ENCODERCOMMAND_H

#include "jobtypes/jobtypes.h"

#include <QString>
#include <QStringList>

class QProcess;

// The encoder's command line for a run: the program and the arguments it is started with,
// every path absolute, the whole line in its display form, as the user would type it, and how
// the encoder's process is set up.
struct EncoderCommand
{
    QString program;
    QStringList arguments;
    QString display;

    // Sets up the process to run the command in folder: its diagnostics go to errorFile
    // (appended), or with none to this program's own standard error; it never outlives this
    // program.
    void setUp(QProcess *process, const QString &errorFile, const QString &folder) const;

    // The command for the settings' encoder, configuration and output, reading encoderInput
    // at this size; a QP asked for comes last, so that it wins over the configuration's.
    static EncoderCommand make(const JobSettings &settings, const QString &encoderInput, int width, int height);
    // The command line in its display form, each path in double quotes.
    static QString displayLine(const QString &encoder, const QString &config, const QString &input,
                               const QString &output, int width, int height);
};

#endif // ENCODERCOMMAND_H
