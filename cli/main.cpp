// morlunex-cli: the transcoder's job from a terminal or a script.

#include "bdratecommand.h"
#include "clioptions.h"
#include "clirunner.h"
#include "experimentcommand.h"
#include "joincommand.h"
#include "sweepcommand.h"

#include "bitstream/librarylog.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>

#include <sysexits.h>

int main(int argc, char **argv)
{
    // An encoder that exits makes the next write into its pipe fail with EPIPE, which the job
    // handles, as a closed standard stream is; the signal that comes with it must not end the
    // program.
    std::signal(SIGPIPE, SIG_IGN);
    // An experiment draws plots, which takes Qt GUI; everything else needs Qt Core only.
    const std::unique_ptr<QCoreApplication> app = ExperimentCommand::wanted(argc, argv)
                                                      ? ExperimentCommand::application(argc, argv)
                                                      : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("morlunex-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.980"));
    // FFmpeg's own lines never reach the terminal straight: a job puts them in its log.
    LibraryLog::install();

    CliOptions options;
    if (!options.parse(QCoreApplication::arguments())) {
        QString error = options.error();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        std::fprintf(stderr, "morlunex-cli: %s (see morlunex-cli --help)\n", error.toLocal8Bit().constData());
        return EX_USAGE;
    }
    switch (options.action()) {
    case CliOptions::ShowHelp:
        std::fputs(options.helpText().toLocal8Bit().constData(), stdout);
        return EX_OK;
    case CliOptions::ShowVersion:
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        return EX_OK;
    case CliOptions::Join:
        return JoinCommand::run(options.joinOutput(), options.segments(), options.settings().encoder,
                                options.quiet(), options.overwrite(), options.expectedPictures());
    case CliOptions::BdRate:
        return BdRateCommand::run(options.anchorReports(), options.testReports(), options.yuvWeights(),
                                  options.progress() == CliOptions::ProgressJson);
    case CliOptions::Experiment: {
        ExperimentCommand experiment(options);
        QTimer::singleShot(0, &experiment, &ExperimentCommand::start);
        return QCoreApplication::exec();
    }
    case CliOptions::Transcode:
        break;
    }

    if (!options.sweepQps().isEmpty()) {
        SweepCommand sweep(options);
        QTimer::singleShot(0, &sweep, &SweepCommand::start);
        return QCoreApplication::exec();
    }
    CliRunner runner(options);
    QObject::connect(&runner, &CliRunner::done, app.get(), [](int status) { QCoreApplication::exit(status); });
    // From inside the event loop, so that a job ending at once can still end the loop.
    QTimer::singleShot(0, &runner, &CliRunner::start);
    return QCoreApplication::exec();
}
