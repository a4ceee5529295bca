#include "app/myapplication.h"
#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "support/testwindow.h"

#include <QDir>
#include <QEvent>
#include <QFile>
#include <QIcon>
#include <QImageReader>
#include <QPixmap>
#include <QSettings>
#include <QTest>

#include <stdexcept>

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
    void startup_opensArgumentFromProgramFolder();
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

void AppTest::startup_opensArgumentFromProgramFolder()
{
    IsolatedEnvironment env;
    // Launched from elsewhere with a relative name: the name resolves in the program's own
    // folder, because start-up makes that folder current before opening the file.
    const QString elsewhere = env.filePath(QStringLiteral("launch dir"));
    QDir().mkpath(elsewhere);

    QProcess program;
    program.setWorkingDirectory(elsewhere);
    program.start(TestSupport::binDir() + QStringLiteral("/morlunex"),
                  {QStringLiteral("clips/first.mp4"), QStringLiteral("/ignored/second.mp4")});
    QVERIFY(program.waitForStarted(10000));
    auto stop = qScopeGuard([&] {
        program.kill();
        program.waitForFinished(10000);
    });

    QString recent;
    const bool stored = QTest::qWaitFor([&] {
        QSettings settings(QStringLiteral("Tarvolen Inc."), QStringLiteral("Morlunex Transcoder 0.980"));
        recent = settings.value(QStringLiteral("recentDir")).toString();
        return !recent.isEmpty();
    }, 20000);
    QVERIFY2(stored, program.readAllStandardError().constData());
    QCOMPARE(recent, QDir(TestSupport::binDir()).absoluteFilePath(QStringLiteral("clips")));
    QCOMPARE(program.state(), QProcess::Running);
}

int main(int argc, char **argv)
{
    MyApplication app(argc, argv);
    AppTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"
