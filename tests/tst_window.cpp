#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "support/testwindow.h"
#include "support/urlrecorder.h"

#include <QDesktopServices>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QMetaMethod>
#include <QSettings>
#include <QTest>
#include <QUrl>

#include <memory>

using TestSupport::IsolatedEnvironment;

namespace {

QWidget *gridWidget(TestWindow &window, int row, int column)
{
    const auto grids = window.centralWidget()->findChildren<QGridLayout *>();
    if (grids.size() != 1)
        return nullptr;
    QLayoutItem *item = grids.first()->itemAtPosition(row, column);
    return item ? item->widget() : nullptr;
}

QString caption(QWidget *widget)
{
    auto *label = qobject_cast<QLabel *>(widget);
    return label ? label->text() : QString();
}

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void construction_showsDefaultsAndWidgetTree();
    void construction_declaresSlotsInOrder();
    void settings_readAtConstruction_data();
    void settings_readAtConstruction();
    void settings_typedTextIsNotStored();
    void pickers_storeChoiceOrNothing_data();
    void pickers_storeChoiceOrNothing();
    void outputPicker_startsInRecentFolder();
    void fileOpenImp_proposesOutput_data();
    void fileOpenImp_proposesOutput();
    void fileOpen_trapsThrownText();
    void outputName_followsEncodersCodec_data();
    void outputName_followsEncodersCodec();
    void cfgSettings_opensFileOrWarns_data();
    void cfgSettings_opensFileOrWarns();
};

void WindowTest::construction_showsDefaultsAndWidgetTree()
{
    IsolatedEnvironment env;
    TestWindow window;
    window.show();

    QCOMPARE(window.windowTitle(), QStringLiteral("Morlunex Transcoder 0.980"));
    QCOMPARE(window.minimumSize(), QSize(450, 300));
    QCOMPARE(window.maximumSize(), QSize(450, 300));
    QCOMPARE(window.size(), QSize(450, 300));

    QCOMPARE(window.inputEdit->text(), QString());
    QCOMPARE(window.cfgEdit->text(), QStringLiteral("hevczent.cfg"));
    QCOMPARE(window.encoderEdit->text(), QStringLiteral("TAppEncoder_hm80.exe"));
    QCOMPARE(window.outputEdit->text(), QStringLiteral("hm.265"));
    QVERIFY(window.logView->toPlainText().isEmpty());
    QVERIFY(!window.job->isRunning());
    QCOMPARE(window.rawFrame.width, 0);
    QCOMPARE(window.rawFrame.height, 0);

    QVERIFY(!window.encodeButton->isEnabled());
    QVERIFY(window.encodeButton->text().isEmpty());
    QVERIFY(!window.encodeButton->icon().isNull());
    QCOMPARE(window.encodeButton->iconSize(), QSize(50, 50));
    QCOMPARE(window.encodeButton->minimumSize(), QSize(50, 50));
    QCOMPARE(window.encodeButton->styleSheet(), QStringLiteral("QPushButton { background-color: white}"));

    // The field grid: captions, fields and icon buttons in their cells.
    QCOMPARE(caption(gridWidget(window, 0, 0)), QStringLiteral("Input File:"));
    QCOMPARE(caption(gridWidget(window, 1, 0)), QStringLiteral("Cfg File:"));
    QCOMPARE(caption(gridWidget(window, 2, 0)), QStringLiteral("Encoder:"));
    QCOMPARE(caption(gridWidget(window, 3, 0)), QStringLiteral("Output File:"));
    QCOMPARE(gridWidget(window, 0, 1), window.inputEdit);
    QCOMPARE(gridWidget(window, 1, 1), window.cfgEdit);
    QCOMPARE(gridWidget(window, 2, 1), window.encoderEdit);
    QCOMPARE(gridWidget(window, 3, 1), window.outputEdit);
    for (int row = 0; row < 4; ++row) {
        auto *button = qobject_cast<QPushButton *>(gridWidget(window, row, 2));
        QVERIFY2(button, qPrintable(QStringLiteral("row %1").arg(row)));
        QVERIFY(button->text().isEmpty());
        QVERIFY(!button->icon().isNull());
        QVERIFY(button->isEnabled());
    }
    QVERIFY(qobject_cast<QPushButton *>(gridWidget(window, 1, 3)));
    QVERIFY(!gridWidget(window, 0, 3));
    QCOMPARE(gridWidget(window, 2, 3), window.encodersBox);

    // Below the fields: separator, caption, log pane, in this order.
    auto *layout = qobject_cast<QVBoxLayout *>(window.centralWidget()->layout());
    QVERIFY(layout);
    auto *separator = qobject_cast<QFrame *>(layout->itemAt(1)->widget());
    QVERIFY(separator);
    QCOMPARE(separator->frameShape(), QFrame::HLine);
    QCOMPARE(separator->frameShadow(), QFrame::Sunken);
    QCOMPARE(caption(layout->itemAt(2)->layout()->itemAt(0)->widget()), QStringLiteral("Encoder Logs:"));
    QCOMPARE(layout->itemAt(3)->widget(), window.logView);

    TestSupport::saveScreenshot(&window, QStringLiteral("main_window_initial"));
}

void WindowTest::construction_declaresSlotsInOrder()
{
    // String-based connections and callers rely on these exact signatures.
    const QStringList expected = {"onFileOpen()", "onSaveProject()", "onCloseAll()", "onEncode()",
                                  "updateLog(QByteArray)", "jobFinished(JobResult)",
                                  "onCfgOpen()", "onSelectEncoder()", "onCfgSettings()",
                                  "onOutputOpen()"};
    const QMetaObject &meta = HenQ::staticMetaObject;
    QCOMPARE(QString::fromLatin1(meta.className()), QStringLiteral("HenQ"));
    QStringList declared;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        if (meta.method(i).methodType() == QMetaMethod::Slot)
            declared << QString::fromLatin1(meta.method(i).methodSignature());
    QCOMPARE(declared, expected);
    // Its one signal tells of a dropped experiment plan, which the window does not open itself.
    QVERIFY(meta.indexOfSignal("experimentDropped(QString)") >= meta.methodOffset());

    const QMetaObject &base = MainWindowBase::staticMetaObject;
    QStringList baseSlots;
    for (int i = base.methodOffset(); i < base.methodCount(); ++i)
        baseSlots << QString::fromLatin1(base.method(i).methodSignature());
    QCOMPARE(baseSlots, QStringList({"fileOpen(QString&,bool)", "fileOpen(QString&)",
                                     "fileOpenImp(QString&,bool)", "onFileOpen()", "onSaveProject()",
                                     "onCloseAll()", "deleteTempFiles()", "aboutMe()"}));
}

void WindowTest::settings_readAtConstruction_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QString>("cfg");
    QTest::addColumn<QString>("encoder");
    QTest::addColumn<QString>("recent");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");

    QTest::newRow("empty store") << QVariantMap() << "hevczent.cfg" << "TAppEncoder_hm80.exe" << ""
                                 << 0 << 0;
    QTest::newRow("empty values keep defaults")
        << QVariantMap{{"cfgfile", ""}, {"hevcencoder", ""}, {"recentDir", ""}}
        << "hevczent.cfg" << "TAppEncoder_hm80.exe" << "" << 0 << 0;
    QTest::newRow("stored values")
        << QVariantMap{{"cfgfile", "D:/enc/my.cfg"}, {"hevcencoder", "/opt/enc/enc bin"},
                       {"recentDir", "/videos/in"}, {"prevwidth", 352}, {"prevheight", 288}}
        << "D:/enc/my.cfg" << "/opt/enc/enc bin" << "/videos/in" << 352 << 288;
    QTest::newRow("non-numeric sizes read as 0")
        << QVariantMap{{"prevwidth", "wide"}, {"prevheight", "1e3"}}
        << "hevczent.cfg" << "TAppEncoder_hm80.exe" << "" << 0 << 0;
}

void WindowTest::settings_readAtConstruction()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QString, cfg);
    QFETCH(QString, encoder);
    QFETCH(QString, recent);
    QFETCH(int, width);
    QFETCH(int, height);

    IsolatedEnvironment env;
    {
        QSettings settings = TestSupport::settingsStore();
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            settings.setValue(it.key(), it.value());
    }
    TestWindow window;
    QCOMPARE(window.cfgEdit->text(), cfg);
    QCOMPARE(window.encoderEdit->text(), encoder);
    QCOMPARE(window.recentDir, recent);
    QCOMPARE(window.prevWidth, width);
    QCOMPARE(window.prevHeight, height);
    QCOMPARE(TestSupport::settingsStore().allKeys().size(), stored.size());
}

void WindowTest::settings_typedTextIsNotStored()
{
    IsolatedEnvironment env;
    {
        TestWindow window;
        QTest::keyClicks(window.cfgEdit, QStringLiteral("x"));
        QTest::keyClicks(window.encoderEdit, QStringLiteral("y"));
        QTest::keyClicks(window.outputEdit, QStringLiteral("z"));
    }
    QVERIFY(TestSupport::settingsStore().allKeys().isEmpty());
    TestWindow again;
    QCOMPARE(again.cfgEdit->text(), QStringLiteral("hevczent.cfg"));
    QCOMPARE(again.encoderEdit->text(), QStringLiteral("TAppEncoder_hm80.exe"));
}

void WindowTest::pickers_storeChoiceOrNothing_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<bool>("choose");

    const QString cfgFilter = QStringLiteral("*.txt *.cfg;;All(*.*)");
    const QString exeFilter = QStringLiteral("*.exe;;All(*.*)");
    QTest::newRow("cfg chosen") << "onCfgOpen" << "cfg" << "cfgfile" << cfgFilter << true;
    QTest::newRow("cfg cancelled") << "onCfgOpen" << "cfg" << "cfgfile" << cfgFilter << false;
    QTest::newRow("encoder chosen") << "onSelectEncoder" << "encoder" << "hevcencoder" << exeFilter << true;
    QTest::newRow("encoder cancelled") << "onSelectEncoder" << "encoder" << "hevcencoder" << exeFilter << false;
    QTest::newRow("output chosen") << "onOutputOpen" << "output" << "recentDir" << QString() << true;
    QTest::newRow("output cancelled") << "onOutputOpen" << "output" << "recentDir" << QString() << false;
}

void WindowTest::pickers_storeChoiceOrNothing()
{
    QFETCH(QString, slot);
    QFETCH(QString, field);
    QFETCH(QString, key);
    QFETCH(QString, filter);
    QFETCH(bool, choose);

    IsolatedEnvironment env;
    const QString folder = env.filePath(QStringLiteral("picked files"));
    QDir().mkpath(folder);
    const QString chosen = folder + (slot == "onOutputOpen" ? QStringLiteral("/choice.265")
                                                            : QStringLiteral("/choice.cfg"));
    QFile file(chosen);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    TestWindow window;
    QLineEdit *edit = field == "cfg" ? window.cfgEdit
                      : field == "encoder" ? window.encoderEdit : window.outputEdit;
    const QString before = edit->text();

    ModalAnswerer answerer;
    answerer.chooseFile(choose ? chosen : QString());
    QVERIFY(QMetaObject::invokeMethod(&window, slot.toLatin1().constData()));

    QCOMPARE(answerer.shown.size(), 1);
    QCOMPARE(answerer.shown.first().className, QStringLiteral("QFileDialog"));
    QCOMPARE(answerer.shown.first().title, QStringLiteral("Open file"));
    if (!filter.isEmpty())
        QCOMPARE(answerer.shown.first().detail, filter);

    if (!choose) {
        QCOMPARE(edit->text(), before);
        QVERIFY(TestSupport::settingsStore().allKeys().isEmpty());
        return;
    }
    QCOMPARE(edit->text(), chosen);
    const QString expectedValue = key == "recentDir" ? folder : chosen;
    QCOMPARE(TestSupport::settingsStore().value(key).toString(), expectedValue);
    QCOMPARE(TestSupport::settingsStore().allKeys(), QStringList{key});
    if (key == "recentDir")
        QCOMPARE(window.recentDir, folder);
}

void WindowTest::outputPicker_startsInRecentFolder()
{
    IsolatedEnvironment env;
    const QString folder = env.filePath(QStringLiteral("recent one"));
    QDir().mkpath(folder);
    TestSupport::settingsStore().setValue(QStringLiteral("recentDir"), folder);

    TestWindow window;
    ModalAnswerer answerer;
    answerer.chooseFile(QString());
    window.onOutputOpen();
    QCOMPARE(answerer.shown.size(), 1);
    QCOMPARE(answerer.shown.first().text, folder);
}

void WindowTest::fileOpenImp_proposesOutput_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("recent");

    QTest::newRow("mp4") << "D:/clips/park.mp4" << "D:/clips/park.265" << "D:/clips";
    QTest::newRow("upper-case suffix") << "D:/clips/park.MKV" << "D:/clips/park.265" << "D:/clips";
    QTest::newRow("suffix also in folder") << "D:/a.mp4/b.mp4" << "D:/a.265/b.265" << "D:/a.mp4";
    QTest::newRow("only last suffix replaced") << "/v/clip.final.mov" << "/v/clip.final.265" << "/v";
    QTest::newRow("no suffix keeps folder dots") << "/data/v1.2/clip" << "/data/v1.2/clip.265" << "/data/v1.2";
    QTest::newRow("265 input not overwritten") << "/data/clip.265" << "/data/clip_transcoded.265" << "/data";
    QTest::newRow("265 input in 265 folder") << "/d.265/c.265" << "/d.265/c_transcoded.265" << "/d.265";
}

void WindowTest::fileOpenImp_proposesOutput()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QString, recent);

    IsolatedEnvironment env;
    TestWindow window;
    QString path = input;
    QVERIFY(window.fileOpen(path));
    QCOMPARE(window.inputEdit->text(), input);
    QCOMPARE(window.outputEdit->text(), output);
    QVERIFY(window.outputEdit->text() != input);
    QVERIFY(window.encodeButton->isEnabled());
    QCOMPARE(window.recentDir, QFileInfo(recent + "/x").absolutePath());
    QCOMPARE(TestSupport::settingsStore().value(QStringLiteral("recentDir")).toString(), window.recentDir);
}

namespace {

class ThrowingWindow : public TestWindow
{
public:
    bool fileOpenImp(QString &, bool) override { throw QStringLiteral("cannot use this file"); }
};

} // namespace

void WindowTest::fileOpen_trapsThrownText()
{
    IsolatedEnvironment env;
    ThrowingWindow window;
    ModalAnswerer answerer;
    QString path = QStringLiteral("/x/y.mp4");
    QVERIFY(!window.fileOpen(path, true));
    QCOMPARE(answerer.shown.size(), 1);
    QCOMPARE(answerer.shown.first().title, QStringLiteral("Error"));
    QCOMPARE(answerer.shown.first().text, QStringLiteral("cannot use this file"));
    QCOMPARE(answerer.shown.first().icon, QMessageBox::Critical);
    QVERIFY(window.inputEdit->text().isEmpty());
}

void WindowTest::cfgSettings_opensFileOrWarns_data()
{
    QTest::addColumn<bool>("desktopOpens");
    QTest::newRow("desktop opens the file") << true;
    QTest::newRow("desktop cannot open it") << false;
}

void WindowTest::cfgSettings_opensFileOrWarns()
{
    QFETCH(bool, desktopOpens);

    IsolatedEnvironment env;
    UrlRecorder recorder;
    ScopedUrlHandler handler(QStringLiteral("file"), &recorder, desktopOpens ? "openUrl" : "noSuchMethod");

    TestWindow window;
    window.cfgEdit->setText(QStringLiteral("missing dir/encoder.cfg"));
    ModalAnswerer answerer;
    window.onCfgSettings();

    if (desktopOpens) {
        QCOMPARE(recorder.urls.size(), 1);
        QCOMPARE(recorder.urls.first().toLocalFile(),
                 QFileInfo(QStringLiteral("missing dir/encoder.cfg")).absoluteFilePath());
        QVERIFY(answerer.shown.isEmpty());
    } else {
        QCOMPARE(answerer.shown.size(), 1);
        QCOMPARE(answerer.shown.first().title, QStringLiteral("Warning"));
        QCOMPARE(answerer.shown.first().text,
                 QStringLiteral("Unable to open file missing dir/encoder.cfg."));
        QCOMPARE(answerer.shown.first().detail, QStringLiteral("OK"));
    }
    QVERIFY(TestSupport::settingsStore().allKeys().isEmpty());
}

void WindowTest::outputName_followsEncodersCodec_data()
{
    QTest::addColumn<QString>("program");    // a reference program linked under this name, or a script's name
    QTest::addColumn<QString>("reference");  // the reference program: "vvc", "hevc", or empty for a script
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("suffix");     // of the proposed output once the encoder is chosen

    const QByteArray plain = "QP : 32\n";
    QTest::newRow("VVC reference encoder under another name") << "my encoder" << "vvc" << plain << "266";
    QTest::newRow("HEVC reference encoder under another name") << "my encoder" << "hevc" << plain << "265";
    QTest::newRow("a script named as the VVC encoder") << "EncoderApp" << "" << plain << "266";
    QTest::newRow("a script with a VVC configuration") << "enc.sh" << "" << QByteArray("CTUSize : 128\nQP : 32\n")
                                                        << "266";
    QTest::newRow("a script that tells nothing") << "enc.sh" << "" << plain << "265";
}

// The proposed output and the output picker follow the codec of the chosen encoder: a VVC
// encoder's stream is a raw .266 file, which no container here can hold. Nothing is run to find
// out.
void WindowTest::outputName_followsEncodersCodec()
{
    QFETCH(QString, program);
    QFETCH(QString, reference);
    QFETCH(QByteArray, config);
    QFETCH(QString, suffix);

    IsolatedEnvironment env;
    const QString encoder = env.filePath(program);
    if (reference.isEmpty()) {
        QVERIFY(TestSupport::writeScript(encoder, "#!/bin/sh\ntouch \"$0.ran\"\n"));
    } else {
        const QString real = reference == "vvc"
            ? QStringLiteral(MORLUNEX_TESTDATA_DIR "/reference-encoder-vvc/bin/EncoderApp")
            : TestSupport::referenceTool(QStringLiteral("TAppEncoder"));
        if (real.isEmpty() || !QFile::exists(real))
            QSKIP("the reference encoders are not in ../shared/testdata");
        QVERIFY(QFile::link(QFileInfo(real).absoluteFilePath(), encoder));
    }
    const QString cfg = env.filePath(QStringLiteral("coding.cfg"));
    QVERIFY(TestSupport::writeFile(cfg, config));

    TestWindow window;
    QString input = env.filePath(QStringLiteral("park.mp4"));
    QVERIFY(window.fileOpen(input));
    QCOMPARE(window.outputEdit->text(), env.filePath(QStringLiteral("park.265")));
    window.outputEdit->setText(env.filePath(QStringLiteral("park.mkv")));
    window.cfgEdit->setText(cfg);
    window.encoderEdit->setText(encoder);
    const QString wanted = suffix == "266" ? QStringLiteral("park.266") : QStringLiteral("park.mkv");
    QCOMPARE(window.outputEdit->text(), env.filePath(wanted));
    QVERIFY(!QFile::exists(encoder + QStringLiteral(".ran")));

    ModalAnswerer answerer;
    answerer.chooseFile(QString());
    window.onOutputOpen();
    QCOMPARE(answerer.shown.size(), 1);
    QCOMPARE(answerer.shown.first().detail.contains(QStringLiteral("Matroska")), suffix == "265");
    QCOMPARE(answerer.shown.first().detail.contains(QStringLiteral("*.266")), suffix == "266");

    // Another input is proposed with the codec's suffix; back to the bundled encoder and its
    // configuration, a .266 name becomes .265 again.
    input = env.filePath(QStringLiteral("beach.mov"));
    QVERIFY(window.fileOpen(input));
    QCOMPARE(window.outputEdit->text(), env.filePath(QStringLiteral("beach.") + suffix));
    if (reference == "vvc") {
        window.show();
        TestSupport::saveScreenshot(&window, QStringLiteral("window-vvc-encoder"));
    }
    window.encoderEdit->setText(TestSupport::binDir() + QStringLiteral("/TAppEncoder_hm80.exe"));
    window.cfgEdit->setText(TestSupport::binDir() + QStringLiteral("/hevczent.cfg"));
    QCOMPARE(window.outputEdit->text(), env.filePath(QStringLiteral("beach.265")));
}

int main(int argc, char **argv)
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    WindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_window.moc"
