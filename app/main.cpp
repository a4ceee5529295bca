#include "myapplication.h"
#include "experimentview/experimentview.h"
#include "files/settingsstore.h"
#include "process/signalwatcher.h"
#include "window/henq.h"

#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QPointer>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

// The name the window shows; settings are kept under it.
const char *const appName = SettingsStore::application;
// The desktop entry, icon and metadata are installed under this name; the window system
// matches the window to its entry by it.
const char desktopId[] = "example.morlunex.Transcoder";

// What the window's encoder and configuration fields hold while the settings name none.
// Relative names resolve in the program's folder, which start-up makes current.
const char *const defaultEncoder = SettingsStore::defaultEncoder;
const char *const defaultConfig = SettingsStore::defaultConfig;

// A path the user typed on the command line, as the folder the program was started in gives it:
// start-up makes the program's own folder current later, for the defaults.
QString fromLaunchFolder(const QDir &launchFolder, const QString &path)
{
    return path.isEmpty() ? path : QDir::cleanPath(launchFolder.absoluteFilePath(path));
}

QString inProgramFolder(const QString &path)
{
    return QDir::toNativeSeparators(
        QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(path));
}

// What the program is for and which encoder files the window will use, so that a user (or a
// test) sees where an installation put them.
QString description()
{
    QStringList lines = {
        QLatin1String(appName),
        QStringLiteral("Transcodes a video into an HEVC bitstream. FILE becomes the window's input."),
        QString(),
        QStringLiteral("Default encoder:        ") + inProgramFolder(QLatin1String(defaultEncoder)),
        QStringLiteral("Default configuration:  ") + inProgramFolder(QLatin1String(defaultConfig)),
    };
    const SettingsStore settings;
    const QString encoder = settings.value(SettingsStore::encoderProgram).toString();
    const QString config = settings.value(SettingsStore::configFile).toString();
    if (!encoder.isEmpty())
        lines << QStringLiteral("Encoder chosen in the window:        ") + inProgramFolder(encoder);
    if (!config.isEmpty())
        lines << QStringLiteral("Configuration chosen in the window:  ") + inProgramFolder(config);
    return lines.join(QLatin1Char('\n'));
}

const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                       QStringLiteral("Displays version information."));
const QCommandLineOption experimentOption(QStringLiteral("experiment"),
                                          QStringLiteral("Opens the coding experiment of the plan file in a window of "
                                                         "its own, beside the transcoder window."),
                                          QStringLiteral("PLAN.json"));

// Options only: the description needs the application object.
QCommandLineOption addOptions(QCommandLineParser &parser)
{
    const QCommandLineOption help = parser.addHelpOption();
    parser.addOption(versionOption);
    parser.addOption(experimentOption);
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("Video to open as the input (further names are ignored)."),
                                 QStringLiteral("[FILE]"));
    return help;
}

// Prints the help or the version; true when one of them was asked for.
bool answeredTextOption(QCommandLineParser &parser, const QCommandLineOption &help)
{
    if (parser.isSet(versionOption)) {
        std::printf("%s\n", appName);
        return true;
    }
    if (parser.isSet(help)) {
        parser.setApplicationDescription(description());
        parser.showHelp(0);  // does not return
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    // An encoder that exits makes the next write into its pipe fail with EPIPE, which the job
    // handles; the signal that comes with it must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    const QDir launchFolder = QDir::current();
    // Help and version are answered before the window system is touched, so that they work
    // where there is no display.
    {
        QStringList arguments;
        for (int i = 0; i < argc; ++i)
            arguments << QString::fromLocal8Bit(argv[i]);
        QCommandLineParser parser;
        const QCommandLineOption help = addOptions(parser);
        parser.parse(arguments);
        if (parser.isSet(help) || parser.isSet(versionOption)) {
            QCoreApplication app(argc, argv);
            answeredTextOption(parser, help);
            return 0;
        }
    }

    MyApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QLatin1String(desktopId));
    QApplication::setWindowIcon(
        QIcon::fromTheme(QLatin1String(desktopId), QIcon(QStringLiteral(":/images/quorvanta.png"))));

    // The toolkit has taken its own options out of the arguments by now; anything else unknown
    // ends the program with a message.
    QCommandLineParser parser;
    const QCommandLineOption help = addOptions(parser);
    parser.setApplicationDescription(description());
    parser.process(app);
    if (answeredTextOption(parser, help))
        return 0;

    // SIGINT, SIGTERM and SIGHUP end the program through the event loop, so that the window is
    // destroyed (and stops a running encode) before the program ends. The watcher outlives the
    // window, so that a second signal cannot cut that short.
    SignalWatcher watcher;
    int caughtSignal = 0;
    QObject::connect(&watcher, &SignalWatcher::caught, &app, [&caughtSignal](int signalNumber) {
        if (caughtSignal == 0)
            caughtSignal = signalNumber;
        QCoreApplication::exit(128 + caughtSignal);
    });

    QDir::setCurrent(QCoreApplication::applicationDirPath());
    const std::unique_ptr<MainWindowBase> window(createMainWindow(nullptr));

    // Experiment views are windows of their own that close themselves; those still open when
    // the event loop ends go before the transcoder window.
    QList<QPointer<ExperimentView>> views;
    const auto openExperiment = [&views, &window](const QString &plan) {
        if (ExperimentView *view = ExperimentView::open(plan, window.get()))
            views << view;
    };
    if (auto *transcoder = qobject_cast<HenQ *>(window.get()))
        QObject::connect(transcoder, &HenQ::experimentDropped, transcoder, openExperiment);

    const QStringList files = parser.positionalArguments();
    if (!files.isEmpty()) {
        QString filename = fromLaunchFolder(launchFolder, files.first());
        window->fileOpen(filename, false);
    }
    for (const QString &plan : parser.values(experimentOption))
        openExperiment(fromLaunchFolder(launchFolder, plan));
    // A signal that came while a box was open before the event loop ran ended only that box.
    const int status = caughtSignal != 0 ? 128 + caughtSignal : app.exec();
    for (const QPointer<ExperimentView> &view : std::as_const(views))
        delete view.data();
    return status;
}
