#include "app/myapplication.h"
#include "process/signalwatcher.h"
#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "support/testwindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QIcon>
#include <QImageReader>
#include <QPixmap>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QSettings>
#include <QTest>

#include <csignal>
#include <memory>
#include <stdexcept>

#include <signal.h>

using TestSupport::IsolatedEnvironment;

namespace {

QStringList criticalMessages;

void recordMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg)
        criticalMessages << message;
}

const QEvent::Type throwStdEvent = QEvent::Type(QEvent::User + 1);
const QEvent::Type throwTextEvent = QEvent::Type(QEvent::User + 2);
const QEvent::Type throwIntEvent = QEvent::Type(QEvent::User + 3);

// An event handler that fails in the ways the application object must survive.
class Thrower : public QObject
{
public:
    int handled = 0;

    bool event(QEvent *event) override
    {
        if (event->type() == throwStdEvent)
            throw std::runtime_error("disk on fire");
        if (event->type() == throwTextEvent)
            throw "plain text failure";
        if (event->type() == throwIntEvent)
            throw 42;
        if (event->type() == QEvent::User) {
            ++handled;
            return true;
        }
        return QObject::event(event);
    }
};

void touch(const QString &path)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write("x");
}

QString programPath()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex");
}

// Runs the built program to its end (killed after 30 s) in the given environment.
TestSupport::RunResult runProgram(const QStringList &arguments,
                                  const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    return TestSupport::run(programPath(), arguments, 30000, QString(), environment);
}

bool sameDisposition(int signalNumber, void (*handler)(int))
{
    struct sigaction current;
    return sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == handler;
}

} // namespace

class AppTest : public QObject
{
    Q_OBJECT

private slots:
    void notify_trapsStandardException();
    void notify_showsThrownText();
    void notify_letsOtherExceptionsThrough();
    void images_loadWithoutInitialisation_data();
    void images_loadWithoutInitialisation();
    void deleteTempFiles_answerDecides_data();
    void deleteTempFiles_answerDecides();
    void startup_resolvesCommandLinePathsInLaunchFolder();
    void commandLine_versionIsTheWindowsName();
    void commandLine_helpNamesEncoderFilesWithoutDisplay();
    void signal_endsProgramThroughEventLoop_data();
    void signal_endsProgramThroughEventLoop();
    void signalWatcher_reportsToEveryWatcherAndRestores();
};

void AppTest::notify_trapsStandardException()
{
    criticalMessages.clear();
    QtMessageHandler previous = qInstallMessageHandler(recordMessages);
    Thrower thrower;
    ModalAnswerer answerer;
    QEvent failing(throwStdEvent);
    const bool handled = QCoreApplication::sendEvent(&thrower, &failing);
    qInstallMessageHandler(previous);

    QVERIFY(!handled);
    QCOMPARE(criticalMessages, QStringList{QStringLiteral("Exception thrown: disk on fire")});
    QTest::qWait(50);
    QVERIFY(answerer.shown.isEmpty());

    // The application goes on dispatching events.
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::sendPostedEvents(&thrower);
    QCOMPARE(thrower.handled, 1);
}

void AppTest::notify_showsThrownText()
{
    Thrower thrower;
    ModalAnswerer answerer;
    QCoreApplication::postEvent(&thrower, new QEvent(throwTextEvent));
    QVERIFY(answerer.waitForTitle(QStringLiteral("Error")));
    QCOMPARE(answerer.shown.size(), 1);
    QCOMPARE(answerer.shown.first().text, QStringLiteral("plain text failure"));
    QCOMPARE(answerer.shown.first().icon, QMessageBox::Critical);
    QCOMPARE(answerer.shown.first().detail, QStringLiteral("OK"));

    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QVERIFY(QTest::qWaitFor([&] { return thrower.handled == 1; }, 5000));
}

void AppTest::notify_letsOtherExceptionsThrough()
{
    Thrower thrower;
    QEvent failing(throwIntEvent);
    bool caughtHere = false;
    try {
        QCoreApplication::sendEvent(&thrower, &failing);
    } catch (int value) {
        caughtHere = value == 42;
    }
    QVERIFY(caughtHere);
}

void AppTest::images_loadWithoutInitialisation_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QSize>("size");

    QTest::newRow("go") << ":/images/go.png" << QByteArray("png") << QSize(224, 225);
    QTest::newRow("open") << ":/images/open.png" << QByteArray("png") << QSize(24, 24);
    QTest::newRow("settings") << ":/images/settings.png" << QByteArray("png") << QSize(48, 48);
    QTest::newRow("logo") << ":/images/quorvanta.png" << QByteArray("png") << QSize(79, 79);
    QTest::newRow("icon") << ":/images/quorvanta.ico" << QByteArray("ico") << QSize(32, 32);
}

void AppTest::images_loadWithoutInitialisation()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, format);
    QFETCH(QSize, size);

    QImageReader reader(path);
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);
    QVERIFY(image.hasAlphaChannel());
    QCOMPARE(QPixmap(path).size(), size);
    if (format == "ico") {
        QCOMPARE(reader.imageCount(), 1);
        QCOMPARE(image.depth(), 32);
    }
}

void AppTest::deleteTempFiles_answerDecides_data()
{
    QTest::addColumn<bool>("agree");
    QTest::newRow("answered No") << false;
    QTest::newRow("answered Yes") << true;
}

void AppTest::deleteTempFiles_answerDecides()
{
    QFETCH(bool, agree);

    IsolatedEnvironment env(QStringLiteral("temp dir with blanks"));
    const QDir temp(env.tempPath());
    const QStringList matching = {"mbist_0001.bin", "mbist", "f3_bitrate.txt", "f_bitrate.txt",
                                  "f12_filestruct.txt", "fx_info.txt"};
    const QStringList kept = {"mlxtmp_176x144.420", "mlxtmp_1920x1088.420", "f3_bitrate.txt.bak",
                              "g_info.txt", "xmbist", "notes.txt"};
    for (const QString &name : matching + kept)
        touch(temp.filePath(name));
    // Outside the temporary directory nothing is touched, whatever its name.
    const QString outside = env.filePath(QStringLiteral("mbist_outside.bin"));
    touch(outside);

    TestWindow window;
    ModalAnswerer answerer;
    answerer.pressButton(agree ? QMessageBox::Yes : QMessageBox::No);
    window.deleteTempFiles();

    QCOMPARE(answerer.shown.first().title, QStringLiteral("Warning"));
    QCOMPARE(answerer.shown.first().text,
             QStringLiteral("This operation will delete all temporary files generated by "
                            "Morlunex Transcoder 0.980, even for current stream!! Do you agree to "
                            "delete them?\n"));
    QVERIFY(QFile::exists(outside));
    for (const QString &name : kept)
        QVERIFY2(temp.exists(name), qPrintable(name));
    for (const QString &name : matching)
        QVERIFY2(temp.exists(name) != agree, qPrintable(name));

    if (!agree) {
        QCOMPARE(answerer.shown.size(), 1);
        return;
    }
    QCOMPARE(answerer.shown.size(), 2);
    QCOMPARE(answerer.shown.at(1).title, QStringLiteral("Delete done"));
    QCOMPARE(answerer.shown.at(1).text, QStringLiteral("Please restart Morlunex Transcoder 0.980 for safe"));
}

// Launched from elsewhere with relative names: the input and the plan resolve in the folder the
// program was started in, although start-up makes the program's own folder current (for the
// default encoder and configuration). The plan names an encoder this machine lacks: the
// experiment opens all the same, to be followed.
void AppTest::startup_resolvesCommandLinePathsInLaunchFolder()
{
    IsolatedEnvironment env;
    const QString elsewhere = env.filePath(QStringLiteral("launch dir"));
    QVERIFY(QDir().mkpath(elsewhere + QStringLiteral("/plans")));
    QVERIFY(TestSupport::writeFile(elsewhere + QStringLiteral("/plans/raw_64x64.yuv"), QByteArray(64 * 64 * 3 / 2, '\x80')));
    QVERIFY(TestSupport::writeFile(elsewhere + QStringLiteral("/plans/a.cfg"), "QP : 32\n"));
    QVERIFY(TestSupport::writeFile(elsewhere + QStringLiteral("/plans/small.json"), R"({
        "sequences": [{"name": "Raw", "path": "raw_64x64.yuv", "size": "64x64", "fps": 25}],
        "configurations": [
            {"name": "anchor", "anchor": true, "encoder": "./not-on-this-machine", "cfg": "a.cfg"},
            {"name": "test", "encoder": "./not-on-this-machine", "cfg": "a.cfg"}],
        "qps": [22, 27, 32, 37]})"));

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("morlunex.experiment.info=true"));
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(elsewhere);
    program.start(TestSupport::binDir() + QStringLiteral("/morlunex"),
                  {QStringLiteral("clips/first.mp4"), QStringLiteral("/ignored/second.mp4"), QStringLiteral("--experiment"),
                   QStringLiteral("plans/small.json")});
    QVERIFY(program.waitForStarted(10000));
    auto stop = qScopeGuard([&] {
        program.kill();
        program.waitForFinished(10000);
    });

    QByteArray err;
    const QByteArray following = "Following the experiment " + QFile::encodeName(elsewhere) + "/plans/small.json in "
                                 + QFile::encodeName(elsewhere) + "/plans/small.results";
    const bool opened = QTest::qWaitFor([&] {
        err += program.readAllStandardError();
        return err.contains(following) || err.contains("Cannot open");
    }, 20000);
    QVERIFY2(opened && err.contains(following), err.constData());
    // The settings reach the file once the program writes them out.
    QTRY_COMPARE_WITH_TIMEOUT(TestSupport::settingsStore().value(QStringLiteral("recentDir")).toString(),
                              elsewhere + QStringLiteral("/clips"), 20000);
    QCOMPARE(program.state(), QProcess::Running);
}

void AppTest::commandLine_versionIsTheWindowsName()
{
    IsolatedEnvironment env;
    const TestWindow window;
    for (const QString &option : {QStringLiteral("--version"), QStringLiteral("-v")}) {
        const TestSupport::RunResult result = runProgram({option});
        QVERIFY2(result.finished, qPrintable(option));
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(QString::fromLocal8Bit(result.out), window.windowTitle() + QLatin1Char('\n'));
    }

    const TestSupport::RunResult unknown = runProgram({QStringLiteral("--frobnicate")});
    QVERIFY(unknown.finished);
    QCOMPARE(unknown.exitCode, 1);
    QVERIFY2(unknown.err.contains("frobnicate"), unknown.err.constData());
}

void AppTest::commandLine_helpNamesEncoderFilesWithoutDisplay()
{
    IsolatedEnvironment env;
    // A window system that is not there: help must not need one.
    QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
    noDisplay.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    noDisplay.remove(QStringLiteral("DISPLAY"));
    noDisplay.remove(QStringLiteral("WAYLAND_DISPLAY"));

    TestSupport::RunResult result = runProgram({QStringLiteral("--help")}, noDisplay);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QString help = QString::fromLocal8Bit(result.out);
    // The window's own default fields, resolved in the program's folder as the window does.
    const QDir programFolder(TestSupport::binDir());
    {
        const TestWindow window;
        QVERIFY2(help.contains(QStringLiteral("Default encoder:        %1\n")
                                   .arg(programFolder.absoluteFilePath(window.encoderEdit->text()))),
                 qPrintable(help));
        QVERIFY2(help.contains(QStringLiteral("Default configuration:  %1\n")
                                   .arg(programFolder.absoluteFilePath(window.cfgEdit->text()))),
                 qPrintable(help));
    }
    QVERIFY(!help.contains(QLatin1String("chosen in the window")));

    // Choices kept in the settings are what the window will use: shown as well.
    {
        QSettings settings = TestSupport::settingsStore();
        settings.setValue(QStringLiteral("hevcencoder"), QStringLiteral("/opt/enc/TAppEncoder"));
        settings.setValue(QStringLiteral("cfgfile"), QStringLiteral("cfg/own.cfg"));
    }
    result = runProgram({QStringLiteral("-h")}, noDisplay);
    QCOMPARE(result.exitCode, 0);
    help = QString::fromLocal8Bit(result.out);
    QVERIFY2(help.contains(QStringLiteral("Encoder chosen in the window:        /opt/enc/TAppEncoder\n")),
             qPrintable(help));
    QVERIFY2(help.contains(QStringLiteral("Configuration chosen in the window:  %1\n")
                               .arg(programFolder.absoluteFilePath(QStringLiteral("cfg/own.cfg")))),
             qPrintable(help));
}

void AppTest::signal_endsProgramThroughEventLoop_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

// The program returns from its event loop, which destroys the window (stopping any encode)
// before it ends, instead of being cut down by the signal.
void AppTest::signal_endsProgramThroughEventLoop()
{
    QFETCH(int, signalNumber);

    IsolatedEnvironment env;
    // The toolkit's own runtime folder goes to the temporary folder when this is not set.
    const QString runtime = env.filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(programPath(), {env.filePath(QStringLiteral("clip.mp4"))});
    QVERIFY(program.waitForStarted(10000));
    auto stop = qScopeGuard([&] {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished(10000);
        }
    });
    // The argument is opened once the signals are watched.
    QVERIFY2(QTest::qWaitFor([] {
                 return !TestSupport::settingsStore().value(QStringLiteral("recentDir")).toString().isEmpty();
             }, 20000),
             program.readAllStandardError().constData());

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(::kill(pid_t(program.processId()), signalNumber), 0);
    QVERIFY(program.waitForFinished(10000));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 128 + signalNumber);
    QVERIFY2(QDir(env.tempPath()).isEmpty(),
             qPrintable(QDir(env.tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).join(", ")));
}

void AppTest::signalWatcher_reportsToEveryWatcherAndRestores()
{
    // Known dispositions to start from (the test framework has handlers of its own).
    struct sigaction saved[3];
    const int numbers[3] = {SIGTERM, SIGINT, SIGHUP};
    void (*const start[3])(int) = {SIG_DFL, SIG_DFL, SIG_IGN};
    for (int i = 0; i < 3; ++i) {
        struct sigaction action = {};
        action.sa_handler = start[i];
        QCOMPARE(sigaction(numbers[i], &action, &saved[i]), 0);
    }
    auto restore = qScopeGuard([&] {
        for (int i = 0; i < 3; ++i)
            sigaction(numbers[i], &saved[i], nullptr);
    });

    QList<int> first, second;
    {
        SignalWatcher firstWatcher;
        auto secondWatcher = std::make_unique<SignalWatcher>();
        QVERIFY(firstWatcher.isValid() && secondWatcher->isValid());
        connect(&firstWatcher, &SignalWatcher::caught, this, [&](int number) { first << number; });
        connect(secondWatcher.get(), &SignalWatcher::caught, this, [&](int number) { second << number; });

        // Delivered from the event loop, not inside the handler; an ignored signal stays ignored.
        raise(SIGTERM);
        raise(SIGHUP);
        raise(SIGINT);
        QVERIFY(first.isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return first.size() == 2 && second.size() == 2; }, 5000));
        QTest::qWait(50);
        QCOMPARE(first, (QList<int>{SIGTERM, SIGINT}));
        QCOMPARE(second, first);

        secondWatcher.reset();
        raise(SIGTERM);
        QVERIFY(QTest::qWaitFor([&] { return first.size() == 3; }, 5000));
        QCOMPARE(second.size(), 2);
        QVERIFY(!sameDisposition(SIGTERM, SIG_DFL));
    }
    for (int i = 0; i < 3; ++i)
        QVERIFY2(sameDisposition(numbers[i], start[i]), qPrintable(QString::number(numbers[i])));
}

int main(int argc, char **argv)
{
    MyApplication app(argc, argv);
    AppTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"
