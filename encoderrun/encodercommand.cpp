#include "encodercommand.h"

#include "files/pathtext.h"

#include <QProcess>

#include <csignal>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

using PathText::absolute;

EncoderCommand EncoderCommand::make(const JobSettings &settings, const QString &encoderInput, int width, int height)
{
    const QString config = absolute(settings.config);
    const QString output = absolute(settings.output);
    EncoderCommand command;
    command.program = absolute(settings.encoder);
    command.arguments = {QStringLiteral("-c"), config, QStringLiteral("-i"), encoderInput,
                         QStringLiteral("-b"), output, QStringLiteral("-wdt"), QString::number(width),
                         QStringLiteral("-hgt"), QString::number(height)};
    command.display = displayLine(command.program, config, encoderInput, output, width, height);
    // Last, so that it wins over the configuration's QP.
    if (settings.qp >= 0) {
        command.arguments << QStringLiteral("-q") << QString::number(settings.qp);
        command.display += QStringLiteral(" -q %1").arg(settings.qp);
    }
    return command;
}

QString EncoderCommand::displayLine(const QString &encoder, const QString &config, const QString &input,
                                    const QString &output, int width, int height)
{
    // One arg() call, so that a '%' inside a path is never taken for a placeholder.
    return QStringLiteral("\"%1\" -c \"%2\" -i \"%3\" -b \"%4\" -wdt %5 -hgt %6")
        .arg(encoder, config, input, output, QString::number(width), QString::number(height));
}

void EncoderCommand::setUp(QProcess *process, const QString &errorFile, const QString &folder) const
{
    // The encoder's diagnostics go to our own standard error instead of piling up unread, or
    // where the owner wants them.
    if (errorFile.isEmpty()) {
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    } else {
        process->setProcessChannelMode(QProcess::SeparateChannels);
        process->setStandardErrorFile(errorFile, QIODevice::Append);
    }
    process->setWorkingDirectory(folder);
    // Program and arguments apart: every path reaches the encoder exactly, quotes included.
    process->setProgram(program);
    process->setArguments(arguments);
#ifdef Q_OS_LINUX
    // The encoder never outlives the program, even one killed outright: a later run of the
    // same job must not meet an orphan still writing its segment or blocked on its pipe.
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
}
