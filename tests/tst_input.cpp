// The input picker and the raw YUV settings dialog, driven through the real file dialog and
// the real settings dialog as a user would answer them.

#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "support/testwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QSettings>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

const char pickerFilter[] =
    "*.h264 *.avc *.264 *.26l *.mvc *.vp8 *.ivf *.webm *.mp4 *.mov *.3gp *.flv *.f4v *.rtp "
    "*.yuv *.422 *.444 *.420 *.400 *.ts *.MTS *.m2ts *.mpg *.m2v *.hevc *.265 *.mkv;;All(*.*)";

// The raw YUV dialog's widgets, found by their row labels.
struct YuvDialogView
{
    QDialog *dialog = nullptr;
    QStringList labels;
    QList<QWidget *> fields;

    explicit YuvDialogView(QWidget *widget) : dialog(qobject_cast<QDialog *>(widget))
    {
        auto *form = dialog ? dialog->findChild<QFormLayout *>() : nullptr;
        if (!form)
            return;
        for (int row = 0; row < form->rowCount(); ++row) {
            auto *label = qobject_cast<QLabel *>(form->itemAt(row, QFormLayout::LabelRole)->widget());
            labels << (label ? label->text() : QString());
            fields << form->itemAt(row, QFormLayout::FieldRole)->widget();
        }
    }
    bool isValid() const { return dialog && fields.size() == 6; }
    QWidget *field(const char *label) const
    {
        const int row = labels.indexOf(QLatin1String(label));
        return row < 0 ? nullptr : fields.at(row);
    }
    QLineEdit *edit(const char *label) const { return qobject_cast<QLineEdit *>(field(label)); }
    QComboBox *combo(const char *label) const { return qobject_cast<QComboBox *>(field(label)); }
    QPushButton *button(const QString &text) const
    {
        for (QPushButton *button : dialog->findChildren<QPushButton *>())
            if (button->text() == text)
                return button;
        return nullptr;
    }
    QStringList items(const char *label) const
    {
        QStringList entries;
        if (QComboBox *box = combo(label))
            for (int i = 0; i < box->count(); ++i)
                entries << box->itemText(i);
        return entries;
    }
};

// What the dialog offered when it came up.
struct DialogSnapshot
{
    bool seen = false;
    QString title, width, height, fps;
    int lumaDepth = -1, chromaDepth = -1, format = -1;
};

// Edits to make in the dialog before pressing a button.
struct DialogAnswer
{
    QString width, height, fps;  // null: leave the field as it is
    int lumaDepth = -1, chromaDepth = -1;
    bool accept = true;
};

ModalAnswerer::Handler answerYuvDialog(DialogAnswer answer, DialogSnapshot *snapshot = nullptr)
{
    return [answer, snapshot](QWidget *widget) {
        const YuvDialogView view(widget);
        if (!view.isValid()) {
            ModalAnswerer::defaultAnswer(widget);
            return;
        }
        if (snapshot) {
            snapshot->seen = true;
            snapshot->title = widget->windowTitle();
            snapshot->width = view.edit("Width:")->text();
            snapshot->height = view.edit("Height:")->text();
            snapshot->fps = view.edit("fps:")->text();
            snapshot->lumaDepth = view.combo("Y bpp:")->currentIndex();
            snapshot->chromaDepth = view.combo("Cr/Cb bpp:")->currentIndex();
            snapshot->format = view.combo("Format:")->currentIndex();
        }
        if (!answer.width.isNull())
            view.edit("Width:")->setText(answer.width);
        if (!answer.height.isNull())
            view.edit("Height:")->setText(answer.height);
        if (!answer.fps.isNull())
            view.edit("fps:")->setText(answer.fps);
        if (answer.lumaDepth >= 0)
            view.combo("Y bpp:")->setCurrentIndex(answer.lumaDepth);
        if (answer.chromaDepth >= 0)
            view.combo("Cr/Cb bpp:")->setCurrentIndex(answer.chromaDepth);
        view.button(answer.accept ? QStringLiteral("OK") : QStringLiteral("Cancel"))->click();
    };
}

DialogAnswer describeAs(const QString &width, const QString &height)
{
    DialogAnswer answer;
    answer.width = width;
    answer.height = height;
    return answer;
}

DialogAnswer cancelDialog()
{
    DialogAnswer answer;
    answer.accept = false;
    return answer;
}

// Values no code path of the dialog writes, to see which fields it touched.
FrameInfo sentinelFrame()
{
    FrameInfo frame{};
    frame.width = 11;
    frame.height = 22;
    frame.chromaWidth = 33;
    frame.chromaHeight = 44;
    frame.lumaBitDepth = 55;
    frame.chromaBitDepth = 66;
    frame.lumaPadWidth = 7;
    frame.lumaPadHeight = 9;
    frame.pixelFormat = 99;
    return frame;
}

void storeSetting(const QString &key, const QVariant &value)
{
    QSettings settings(QStringLiteral("Tarvolen Inc."), QStringLiteral("Morlunex Transcoder 0.980"));
    settings.setValue(key, value);
}

QString storedSetting(const QString &key)
{
    return TestSupport::settingsStore().value(key).toString();
}

QString canonicalFolder(const QString &path)
{
    return QDir(path).canonicalPath();
}

QStringList titles(const ModalAnswerer &answerer)
{
    QStringList list;
    for (const ShownModal &modal : answerer.shown)
        list << modal.title;
    return list;
}

} // namespace

class TstInput : public QObject
{
    Q_OBJECT

private slots:
    void guesses_data();
    void guesses();
    void dialog_showsRowsEntriesAndButtons();
    void dialog_storesOnlyAcceptedNumbers_data();
    void dialog_storesOnlyAcceptedNumbers();
    void dialog_previousSizeSkipsDialog_data();
    void dialog_previousSizeSkipsDialog();
    void dialog_screenshot();

    void picker_showsCaptionStartFolderAndFilter();
    void picker_rawFileAccepted_setsSizeAndProposesOutput();
    void picker_classifiesByMarker_data();
    void picker_classifiesByMarker();
    void picker_containerFileCheckedAndAccepted();
    void picker_cancelAfterRawDescribed_clearsSize();
    void picker_startsInRecentFolder_alsoAfterRestart();
    void picker_previousWidthOnly_givesSizeWithoutDialog();

    void endToEnd_rawFileEncodedAsDescribed();

    void drop_takesFirstLocalFileLikePicker_data();
    void drop_takesFirstLocalFileLikePicker();
};

void TstInput::guesses_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("prevWidth");
    QTest::addColumn<int>("prevHeight");
    QTest::addColumn<QString>("width");
    QTest::addColumn<QString>("height");
    QTest::addColumn<int>("bitDepthIndex");
    QTest::addColumn<int>("formatIndex");

    QTest::newRow("explicit size") << "D:/seq/foreman_352x288.yuv" << 0 << 0 << "352" << "288" << 0 << 0;
    QTest::newRow("qcif") << "D:/seq/akiyo_qcif.yuv" << 0 << 0 << "176" << "144" << 0 << 0;
    QTest::newRow("cif") << "D:/seq/football_cif.yuv" << 0 << 0 << "352" << "288" << 0 << 0;
    QTest::newRow("cif in folder name") << "D:/specific/clip.yuv" << 0 << 0 << "352" << "288" << 0 << 0;
    QTest::newRow("1080p 10bit 422") << "D:/seq/crowd_1080p_10bit_422.yuv" << 0 << 0 << "1920" << "1080" << 1 << 1;
    QTest::newRow("720p") << "D:/seq/park_720p.yuv" << 0 << 0 << "1280" << "720" << 0 << 0;
    QTest::newRow("explicit size beats keyword") << "D:/seq/a_1920x1080_720p.yuv" << 0 << 0 << "1920" << "1080" << 0 << 0;
    QTest::newRow("last explicit size wins") << "D:/720x576/clip_1920x1080.yuv" << 0 << 0 << "1920" << "1080" << 0 << 0;
    QTest::newRow("overlapping sizes: last") << "D:/seq/clip_16x32x48.yuv" << 0 << 0 << "32" << "48" << 0 << 0;
    QTest::newRow("digit runs taken whole") << "D:/seq/v12345x6789y.yuv" << 0 << 0 << "12345" << "6789" << 0 << 0;
    QTest::newRow("upper-case X is no size") << "D:/seq/clip_352X288.yuv" << 5 << 7 << "5" << "7" << 0 << 0;
    QTest::newRow("QCIF keeps previous size") << "D:/seq/QCIF.yuv" << 0 << 0 << "0" << "0" << 0 << 0;
    QTest::newRow("QCIF keeps small previous") << "D:/seq/QCIF.yuv" << 8 << 15 << "8" << "15" << 0 << 0;
    QTest::newRow("kbps chooses YUV 400") << "D:/seq/clip_4000kbps.yuv" << 0 << 0 << "0" << "0" << 0 << 3;
    QTest::newRow("12bit 444") << "D:/seq/clip_12bit_444.yuv" << 0 << 0 << "0" << "0" << 2 << 2;
    QTest::newRow("8bit before 10bit") << "D:/seq/a_10bit_8bit.yuv" << 0 << 0 << "0" << "0" << 0 << 0;
    QTest::newRow("422 before 444") << "D:/seq/a_444_422.yuv" << 0 << 0 << "0" << "0" << 0 << 1;
    QTest::newRow("rgb") << "D:/seq/frame_rgb.yuv" << 0 << 0 << "0" << "0" << 0 << 4;
    QTest::newRow("RGB is case-sensitive") << "D:/seq/frame_RGB.yuv" << 0 << 0 << "0" << "0" << 0 << 0;
    QTest::newRow("10BIT is case-sensitive") << "D:/seq/a_10BIT.yuv" << 0 << 0 << "0" << "0" << 0 << 0;
}

// Every row opens the real dialog, reads what it offers and cancels it.
void TstInput::guesses()
{
    QFETCH(QString, path);
    QFETCH(int, prevWidth);
    QFETCH(int, prevHeight);
    QFETCH(QString, width);
    QFETCH(QString, height);
    QFETCH(int, bitDepthIndex);
    QFETCH(int, formatIndex);

    TestSupport::IsolatedEnvironment env;
    TestWindow window;
    window.rawFrame = sentinelFrame();
    ModalAnswerer answerer;
    DialogSnapshot seen;
    answerer.enqueue(answerYuvDialog(cancelDialog(), &seen));

    QVERIFY(!window.askYuvSettings(path, prevWidth, prevHeight));
    QVERIFY(seen.seen);
    QCOMPARE(seen.width, width);
    QCOMPARE(seen.height, height);
    QCOMPARE(seen.fps, QStringLiteral("30"));
    QCOMPARE(seen.lumaDepth, bitDepthIndex);
    QCOMPARE(seen.chromaDepth, bitDepthIndex);
    QCOMPARE(seen.format, formatIndex);
    QCOMPARE(window.rawFrame.width, 11);
    QCOMPARE(window.rawFrame.lumaBitDepth, 55);
}

void TstInput::dialog_showsRowsEntriesAndButtons()
{
    TestSupport::IsolatedEnvironment env;
    TestWindow window;
    ModalAnswerer answerer;
    QStringList labels, depthEntries, chromaEntries, formatEntries;
    bool editable = true, cancelLeftOfOk = false, parentIsWindow = false;
    QString title;
    answerer.enqueue([&](QWidget *widget) {
        const YuvDialogView view(widget);
        title = widget->windowTitle();
        parentIsWindow = widget->parentWidget() == &window;
        labels = view.labels;
        depthEntries = view.items("Y bpp:");
        chromaEntries = view.items("Cr/Cb bpp:");
        formatEntries = view.items("Format:");
        editable = view.combo("Y bpp:")->isEditable() || view.combo("Cr/Cb bpp:")->isEditable()
                   || view.combo("Format:")->isEditable();
        QPushButton *cancel = view.button(QStringLiteral("Cancel"));
        QPushButton *ok = view.button(QStringLiteral("OK"));
        cancelLeftOfOk = cancel && ok && cancel->mapToGlobal(QPoint()).x() < ok->mapToGlobal(QPoint()).x();
        widget->close();  // the window's close button cancels like "Cancel"
    });

    QVERIFY(!window.askYuvSettings(QStringLiteral("D:/seq/foreman_352x288.yuv"), 0, 0));
    QCOMPARE(title, QStringLiteral("YUV Settings"));
    QVERIFY(parentIsWindow);
    QCOMPARE(labels, (QStringList{"Width:", "Height:", "fps:", "Y bpp:", "Cr/Cb bpp:", "Format:"}));
    QCOMPARE(depthEntries, (QStringList{"8 bpp", "10 bpp", "12 bpp"}));
    QCOMPARE(chromaEntries, depthEntries);
    QCOMPARE(formatEntries, (QStringList{"YUV 420", "YUV 422", "YUV 444", "YUV 400", "R8G8B8A8"}));
    QVERIFY(!editable);
    QVERIFY(cancelLeftOfOk);
    QCOMPARE(window.findChildren<QDialog *>().size(), 0);  // destroyed when the call returns
}

void TstInput::dialog_storesOnlyAcceptedNumbers_data()
{
    QTest::addColumn<QString>("width");
    QTest::addColumn<QString>("height");
    QTest::addColumn<QString>("fps");
    QTest::addColumn<int>("lumaIndex");
    QTest::addColumn<int>("chromaIndex");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QList<int>>("expected");  // width, height, chroma w, chroma h, depths

    const QString keep;  // null: the guessed text stays
    QTest::newRow("guessed values") << keep << keep << keep << -1 << -1 << true
                                    << QList<int>{352, 288, 176, 144, 8, 8};
    QTest::newRow("edited size and depths") << "1280" << "720" << "60" << 1 << 2 << true
                                            << QList<int>{1280, 720, 640, 360, 10, 12};
    QTest::newRow("odd and negative halve toward zero") << "-7" << "5" << keep << 2 << 0 << true
                                                        << QList<int>{-7, 5, -3, 2, 12, 8};
    QTest::newRow("zero accepted") << "0" << "0" << keep << -1 << -1 << true
                                   << QList<int>{0, 0, 0, 0, 8, 8};
    QTest::newRow("fractional fps") << keep << keep << "29.97" << -1 << -1 << false << QList<int>{};
    QTest::newRow("empty width") << "" << keep << keep << -1 << -1 << false << QList<int>{};
    QTest::newRow("height not a number") << keep << "abc" << keep << -1 << -1 << false << QList<int>{};
    QTest::newRow("width beyond int") << "99999999999" << keep << keep << -1 << -1 << false << QList<int>{};
    QTest::newRow("hex is not decimal") << "0x160" << keep << keep << -1 << -1 << false << QList<int>{};
}

void TstInput::dialog_storesOnlyAcceptedNumbers()
{
    QFETCH(QString, width);
    QFETCH(QString, height);
    QFETCH(QString, fps);
    QFETCH(int, lumaIndex);
    QFETCH(int, chromaIndex);
    QFETCH(bool, stored);
    QFETCH(QList<int>, expected);

    TestSupport::IsolatedEnvironment env;
    TestWindow window;
    window.rawFrame = sentinelFrame();
    ModalAnswerer answerer;
    DialogAnswer answer;
    answer.width = width;
    answer.height = height;
    answer.fps = fps;
    answer.lumaDepth = lumaIndex;
    answer.chromaDepth = chromaIndex;
    answerer.enqueue(answerYuvDialog(answer));

    QCOMPARE(window.askYuvSettings(QStringLiteral("D:/seq/foreman_352x288.yuv"), 0, 0), stored);
    QCOMPARE(answerer.shown.size(), 1);
    const FrameInfo &frame = window.rawFrame;
    if (!stored)
        expected = {11, 22, 33, 44, 55, 66};
    QCOMPARE((QList<int>{frame.width, frame.height, frame.chromaWidth, frame.chromaHeight,
                         frame.lumaBitDepth, frame.chromaBitDepth}),
             expected);
    // Fields the dialog does not describe are left alone.
    QCOMPARE(frame.lumaPadWidth, 7);
    QCOMPARE(frame.lumaPadHeight, 9);
    QCOMPARE(frame.pixelFormat, 99);
}

void TstInput::dialog_previousSizeSkipsDialog_data()
{
    QTest::addColumn<int>("prevWidth");
    QTest::addColumn<int>("prevHeight");
    QTest::addColumn<bool>("dialogShown");

    QTest::newRow("width only") << 1920 << 0 << false;
    QTest::newRow("height only") << 0 << 1080 << false;
    QTest::newRow("both at 16") << 16 << 16 << false;
    QTest::newRow("odd sizes") << 33 << 17 << false;
    QTest::newRow("both 15: asks") << 15 << 15 << true;
}

void TstInput::dialog_previousSizeSkipsDialog()
{
    QFETCH(int, prevWidth);
    QFETCH(int, prevHeight);
    QFETCH(bool, dialogShown);

    TestSupport::IsolatedEnvironment env;
    TestWindow window;
    window.rawFrame = sentinelFrame();
    ModalAnswerer answerer;
    answerer.enqueue(answerYuvDialog(cancelDialog()));

    const bool stored = window.askYuvSettings(QStringLiteral("D:/seq/foreman_352x288.yuv"),
                                              prevWidth, prevHeight);
    QCOMPARE(answerer.shown.size(), dialogShown ? 1 : 0);
    QCOMPARE(stored, !dialogShown);
    if (dialogShown)
        return;
    const FrameInfo &frame = window.rawFrame;
    QCOMPARE(frame.width, prevWidth);
    QCOMPARE(frame.height, prevHeight);
    QCOMPARE(frame.chromaWidth, prevWidth / 2);
    QCOMPARE(frame.chromaHeight, prevHeight / 2);
    QCOMPARE(frame.lumaBitDepth, 0);
    QCOMPARE(frame.chromaBitDepth, 0);
    QCOMPARE(frame.pixelFormat, 99);
}

void TstInput::dialog_screenshot()
{
    TestSupport::IsolatedEnvironment env;
    TestWindow window;
    window.show();
    ModalAnswerer answerer;
    QString saved;
    answerer.enqueue([&saved](QWidget *widget) {
        saved = TestSupport::saveScreenshot(widget, QStringLiteral("yuv_settings"));
        static_cast<QDialog *>(widget)->reject();
    });
    QVERIFY(!window.askYuvSettings(QStringLiteral("D:/seq/crowd_1080p_10bit_422.yuv"), 0, 0));
    const QImage image(saved);
    QVERIFY2(!image.isNull(), qPrintable(saved));
    QVERIFY(image.width() > 100 && image.height() > 100);
}

void TstInput::picker_showsCaptionStartFolderAndFilter()
{
    TestSupport::IsolatedEnvironment env;
    const QString start = env.filePath(QStringLiteral("clips"));
    QVERIFY(QDir().mkpath(start));
    storeSetting(QStringLiteral("recentDir"), start);
    TestWindow window;
    window.rawFrame = sentinelFrame();
    ModalAnswerer answerer;
    answerer.chooseFile(QString());

    window.onFileOpen();

    QCOMPARE(answerer.shown.size(), 1);
    const ShownModal &picker = answerer.shown.first();
    QCOMPARE(picker.className, QStringLiteral("QFileDialog"));
    QCOMPARE(picker.title, QStringLiteral("Open file"));
    QCOMPARE(canonicalFolder(picker.text), canonicalFolder(start));
    QCOMPARE(picker.detail, QString::fromLatin1(pickerFilter));
    QCOMPARE(picker.detail.split(QStringLiteral(";;")).size(), 2);
    // The raw size is cleared before the picker opens, so a cancel also clears it.
    QCOMPARE(window.rawFrame.width, 0);
    QCOMPARE(window.rawFrame.height, 0);
    QCOMPARE(window.rawFrame.pixelFormat, 99);
    QVERIFY(window.inputEdit->text().isEmpty());
    QVERIFY(!window.encodeButton->isEnabled());
}

void TstInput::picker_rawFileAccepted_setsSizeAndProposesOutput()
{
    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath(QStringLiteral("clips/clip.422"));
    QVERIFY(TestSupport::writeFile(raw, QByteArray(352 * 288 * 2, '\x80')));
    TestWindow window;
    ModalAnswerer answerer;
    answerer.chooseFile(raw);
    DialogSnapshot seen;
    answerer.enqueue(answerYuvDialog(describeAs("352", "288"), &seen));

    window.onFileOpen();

    QCOMPARE(titles(answerer), (QStringList{"Open file", "YUV Settings"}));
    QCOMPARE(seen.format, 1);  // "422" in the name
    QCOMPARE(window.rawFrame.width, 352);
    QCOMPARE(window.rawFrame.height, 288);
    QCOMPARE(window.rawFrame.chromaWidth, 176);
    QCOMPARE(window.rawFrame.chromaHeight, 144);
    QCOMPARE(window.inputEdit->text(), raw);
    QCOMPARE(window.outputEdit->text(), env.filePath(QStringLiteral("clips/clip.265")));
    QVERIFY(window.encodeButton->isEnabled());
    QCOMPARE(canonicalFolder(storedSetting(QStringLiteral("recentDir"))),
             canonicalFolder(env.filePath(QStringLiteral("clips"))));
}

void TstInput::picker_classifiesByMarker_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("raw");

    QTest::newRow(".yuv") << "clip.yuv" << true;
    QTest::newRow("upper-case .YUV") << "CLIP.YUV" << true;
    QTest::newRow(".420") << "clip.420" << true;
    QTest::newRow(".444") << "clip.444" << true;
    QTest::newRow(".400") << "clip.400" << true;
    QTest::newRow("marker in folder") << "set.420/a.mp4" << true;
    QTest::newRow("marker inside name") << "clip.4000.mp4" << true;
    QTest::newRow("no dot before 420") << "clip_420.mp4" << false;
    QTest::newRow("text file named .mp4") << "notes.mp4" << false;
}

// Raw files go to the dialog (cancelled here) and are taken; other files are check-opened,
// and a text file is refused with the input left as it was.
void TstInput::picker_classifiesByMarker()
{
    QFETCH(QString, name);
    QFETCH(bool, raw);

    TestSupport::IsolatedEnvironment env;
    const QString path = env.filePath(name);
    QVERIFY(TestSupport::writeFile(path, QByteArray("this is a text file, not a video\n")));
    TestWindow window;
    QString previous = env.filePath(QStringLiteral("previous.mkv"));
    window.fileOpen(previous);
    const QString previousOutput = window.outputEdit->text();
    ModalAnswerer answerer;
    answerer.chooseFile(path);
    answerer.enqueue(answerYuvDialog(cancelDialog()));

    window.onFileOpen();

    QCOMPARE(answerer.shown.size(), 2);
    const ShownModal &second = answerer.shown.at(1);
    QCOMPARE(window.rawFrame.width, 0);
    QCOMPARE(window.rawFrame.height, 0);
    if (raw) {
        QCOMPARE(second.title, QStringLiteral("YUV Settings"));
        QCOMPARE(window.inputEdit->text(), path);
        QCOMPARE(window.outputEdit->text(), HenQ::proposeOutputPath(path));
    } else {
        QCOMPARE(second.className, QStringLiteral("QMessageBox"));
        QCOMPARE(second.title, QStringLiteral("Warning"));
        QCOMPARE(second.text, QStringLiteral("Unsupported file"));
        QCOMPARE(second.icon, QMessageBox::Warning);
        QCOMPARE(second.detail.split(QLatin1Char('|')).size(), 1);
        QCOMPARE(window.inputEdit->text(), previous);
        QCOMPARE(window.outputEdit->text(), previousOutput);
    }
}

void TstInput::picker_containerFileCheckedAndAccepted()
{
    TestSupport::IsolatedEnvironment env;
    const QString clip = env.filePath(QStringLiteral("clip.mkv"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "3",
                                 "-c:v", "ffv1", clip}));
    TestWindow window;
    window.rawFrame = sentinelFrame();
    ModalAnswerer answerer;
    answerer.chooseFile(clip);

    window.onFileOpen();

    QCOMPARE(titles(answerer), QStringList{"Open file"});
    QCOMPARE(window.inputEdit->text(), clip);
    QCOMPARE(window.outputEdit->text(), env.filePath(QStringLiteral("clip.265")));
    QVERIFY(window.encodeButton->isEnabled());
    QCOMPARE(window.rawFrame.width, 0);
    QCOMPARE(window.rawFrame.height, 0);
}

void TstInput::picker_cancelAfterRawDescribed_clearsSize()
{
    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath(QStringLiteral("foreman_352x288.yuv"));
    QVERIFY(TestSupport::writeFile(raw, QByteArray(352 * 288 * 3 / 2, '\x10')));
    TestWindow window;
    ModalAnswerer answerer;
    answerer.chooseFile(raw);
    answerer.enqueue(answerYuvDialog(DialogAnswer()));
    window.onFileOpen();
    QCOMPARE(window.rawFrame.width, 352);
    QCOMPARE(window.rawFrame.height, 288);

    answerer.chooseFile(QString());
    window.onFileOpen();

    QCOMPARE(titles(answerer), (QStringList{"Open file", "YUV Settings", "Open file"}));
    QCOMPARE(window.rawFrame.width, 0);
    QCOMPARE(window.rawFrame.height, 0);
    QCOMPARE(window.inputEdit->text(), raw);
}

void TstInput::picker_startsInRecentFolder_alsoAfterRestart()
{
    TestSupport::IsolatedEnvironment env;
    const QString first = env.filePath(QStringLiteral("first/a.yuv"));
    const QString second = env.filePath(QStringLiteral("second/b.yuv"));
    QVERIFY(TestSupport::writeFile(first, "a"));
    QVERIFY(TestSupport::writeFile(second, "b"));

    auto window = std::make_unique<TestWindow>();
    ModalAnswerer answerer;
    answerer.chooseFile(first);
    answerer.enqueue(answerYuvDialog(cancelDialog()));
    answerer.chooseFile(second);
    answerer.enqueue(answerYuvDialog(cancelDialog()));
    window->onFileOpen();
    window->onFileOpen();
    QCOMPARE(titles(answerer), (QStringList{"Open file", "YUV Settings", "Open file", "YUV Settings"}));
    QCOMPARE(canonicalFolder(answerer.shown.at(2).text), canonicalFolder(QFileInfo(first).path()));
    QCOMPARE(window->inputEdit->text(), second);

    window.reset();
    window = std::make_unique<TestWindow>();
    answerer.chooseFile(QString());
    window->onFileOpen();
    QCOMPARE(answerer.shown.size(), 5);
    QCOMPARE(canonicalFolder(answerer.shown.at(4).text), canonicalFolder(QFileInfo(second).path()));
}

void TstInput::picker_previousWidthOnly_givesSizeWithoutDialog()
{
    TestSupport::IsolatedEnvironment env;
    storeSetting(QStringLiteral("prevwidth"), 1920);
    storeSetting(QStringLiteral("prevheight"), 0);
    const QString raw = env.filePath(QStringLiteral("clip_352x288.yuv"));
    QVERIFY(TestSupport::writeFile(raw, "raw"));
    TestWindow window;
    ModalAnswerer answerer;
    answerer.chooseFile(raw);

    window.onFileOpen();

    QCOMPARE(titles(answerer), QStringList{"Open file"});
    QCOMPARE(window.rawFrame.width, 1920);
    QCOMPARE(window.rawFrame.height, 0);
    QCOMPARE(window.rawFrame.chromaWidth, 960);
    QCOMPARE(window.inputEdit->text(), raw);
    // The keys are read, never written.
    QCOMPARE(storedSetting(QStringLiteral("prevwidth")), QStringLiteral("1920"));
    QCOMPARE(storedSetting(QStringLiteral("prevheight")), QStringLiteral("0"));
}

void TstInput::endToEnd_rawFileEncodedAsDescribed()
{
    TestSupport::IsolatedEnvironment env;
    const QString encoder = TestSupport::binDir() + QStringLiteral("/TAppEncoder_hm80.exe");
    const QString config = TestSupport::binDir() + QStringLiteral("/hevczent.cfg");
    QVERIFY2(QFileInfo::exists(encoder), qPrintable(encoder + " has not been built"));
    QVERIFY2(QFileInfo::exists(config), qPrintable(config));

    const int frames = 10;
    const qint64 frameBytes = 352 * 288 * 3 / 2;
    const QString raw = env.filePath(QStringLiteral("clips/park.yuv"));
    QVERIFY(QDir().mkpath(QFileInfo(raw).path()));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=352x288:rate=25", "-frames:v",
                                 QString::number(frames), "-pix_fmt", "yuv420p", "-f", "rawvideo", raw}));
    QCOMPARE(QFileInfo(raw).size(), frames * frameBytes);

    TestWindow window;
    window.show();
    window.encoderEdit->setText(encoder);
    window.cfgEdit->setText(config);
    ModalAnswerer answerer;
    answerer.chooseFile(raw);
    answerer.enqueue(answerYuvDialog(describeAs("352", "288")));
    window.onFileOpen();
    QCOMPARE(window.rawFrame.width, 352);
    QCOMPARE(window.rawFrame.height, 288);
    const QString output = env.filePath(QStringLiteral("clips/park.265"));
    QCOMPARE(window.outputEdit->text(), output);

    // "Cmdline" and "Done" are answered by the answerer's default: their OK button.
    QVERIFY(window.encodeButton->isEnabled());
    window.encodeButton->click();
    QVERIFY2(answerer.waitForTitle(QStringLiteral("Done"), 180000), qPrintable(titles(answerer).join(", ")));

    QCOMPARE(titles(answerer).mid(2), (QStringList{"Cmdline", "Done"}));
    const QString cmdline = answerer.shown.at(2).text;
    QVERIFY2(cmdline.contains(QStringLiteral("-i \"%1\"").arg(raw)), qPrintable(cmdline));
    QVERIFY2(cmdline.endsWith(QStringLiteral("-wdt 352 -hgt 288")), qPrintable(cmdline));
    QCOMPARE(answerer.shown.last().text, QStringLiteral("Encoding done(0)."));

    const TestSupport::ProbeResult probe = TestSupport::probeVideo(output);
    QCOMPARE(probe.codec, QStringLiteral("hevc"));
    QCOMPARE(probe.frames, frames);
    QCOMPARE(probe.width, 352);
    QCOMPARE(probe.height, 288);
    // The raw input is the user's own file: it is never deleted or changed.
    QCOMPARE(QFileInfo(raw).size(), frames * frameBytes);
    QVERIFY(QDir(env.tempPath()).entryList({QStringLiteral("mlxtmp_*")}, QDir::Files).isEmpty());
}

void TstInput::drop_takesFirstLocalFileLikePicker_data()
{
    QTest::addColumn<QStringList>("dropped");  // names in the drop folder, or addresses
    QTest::addColumn<int>("offered");          // drop actions the source allows
    QTest::addColumn<int>("action");           // the one taken; IgnoreAction: refused
    QTest::addColumn<QString>("taken");        // the name that becomes the input, if any
    QTest::addColumn<QStringList>("boxes");    // titles of the boxes that follow the drop

    const int copyOrMove = Qt::CopyAction | Qt::MoveAction;
    const int refused = Qt::IgnoreAction;
    QTest::newRow("video clip") << QStringList{"clip.mp4"} << copyOrMove << int(Qt::CopyAction)
                                << "clip.mp4" << QStringList{};
    QTest::newRow("raw YUV: described in the dialog")
        << QStringList{"raw_176x144.yuv"} << copyOrMove << int(Qt::CopyAction)
        << "raw_176x144.yuv" << QStringList{"YUV Settings"};
    QTest::newRow("several files: the first")
        << QStringList{"clip.mp4", "raw_176x144.yuv"} << copyOrMove << int(Qt::CopyAction)
        << "clip.mp4" << QStringList{};
    QTest::newRow("link offered") << QStringList{"clip.mp4"} << int(Qt::LinkAction)
                                  << int(Qt::LinkAction) << "clip.mp4" << QStringList{};
    QTest::newRow("not a video: the picker's check refuses it")
        << QStringList{"notes.mp4"} << copyOrMove << int(Qt::CopyAction) << QString()
        << QStringList{"Warning"};
    QTest::newRow("folder") << QStringList{"folder.mp4"} << copyOrMove << refused << QString()
                            << QStringList{};
    QTest::newRow("folder first") << QStringList{"folder.mp4", "clip.mp4"} << copyOrMove
                                  << refused << QString() << QStringList{};
    QTest::newRow("missing file") << QStringList{"missing.mp4"} << copyOrMove << refused
                                  << QString() << QStringList{};
    QTest::newRow("remote address") << QStringList{"https://morlunex.example/clip.mp4"}
                                    << copyOrMove << refused << QString() << QStringList{};
    QTest::newRow("text without addresses") << QStringList{} << copyOrMove << refused << QString()
                                            << QStringList{};
    // Accepting a move would make the source delete the user's file after the drop.
    QTest::newRow("move only") << QStringList{"clip.mp4"} << int(Qt::MoveAction) << refused
                               << QString() << QStringList{};
}

// Real drag-enter and drop events as the window system delivers them.
void TstInput::drop_takesFirstLocalFileLikePicker()
{
    QFETCH(QStringList, dropped);
    QFETCH(int, offered);
    QFETCH(int, action);
    QFETCH(QString, taken);
    QFETCH(QStringList, boxes);

    TestSupport::IsolatedEnvironment env;
    const QDir folder(env.filePath(QStringLiteral("drop folder")));
    QVERIFY(folder.mkpath(QStringLiteral("folder.mp4")));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "3",
                                 "-c:v", "mpeg4", folder.filePath(QStringLiteral("clip.mp4"))}));
    QVERIFY(TestSupport::writeFile(folder.filePath(QStringLiteral("raw_176x144.yuv")),
                                   QByteArray(176 * 144 * 3 / 2, '\x10')));
    QVERIFY(TestSupport::writeFile(folder.filePath(QStringLiteral("notes.mp4")), "not a video\n"));

    TestWindow window;
    QVERIFY(window.acceptDrops());
    QVERIFY(QDir().mkpath(env.filePath(QStringLiteral("earlier"))));
    QString previous = env.filePath(QStringLiteral("earlier/previous.mkv"));
    window.fileOpen(previous);
    const QString previousOutput = window.outputEdit->text();
    ModalAnswerer answerer;
    answerer.enqueue(answerYuvDialog(DialogAnswer()));

    QMimeData mimeData;
    QList<QUrl> urls;
    for (const QString &name : dropped)
        urls << (name.contains(QLatin1String("://")) ? QUrl(name) : QUrl::fromLocalFile(folder.filePath(name)));
    if (urls.isEmpty())
        mimeData.setText(folder.filePath(QStringLiteral("clip.mp4")));
    else
        mimeData.setUrls(urls);

    const QPoint position = window.rect().center();
    QDragEnterEvent enter(position, Qt::DropActions(offered), &mimeData, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    QCOMPARE(enter.isAccepted(), action != Qt::IgnoreAction);
    // The drop is checked again: it may come without an accepted enter.
    QDropEvent drop(position, Qt::DropActions(offered), &mimeData, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &drop);
    QCOMPARE(drop.isAccepted(), action != Qt::IgnoreAction);
    if (drop.isAccepted()) {
        QCOMPARE(int(enter.dropAction()), action);
        QCOMPARE(int(drop.dropAction()), action);
    }
    // The drop returns before any box opens, so that the drag's source is not held up.
    QVERIFY(answerer.shown.isEmpty());
    QCOMPARE(window.inputEdit->text(), previous);

    const QString expected = taken.isEmpty() ? previous : folder.filePath(taken);
    if (!boxes.isEmpty())
        QVERIFY(answerer.waitForCount(boxes.size()));
    QVERIFY(QTest::qWaitFor([&] { return window.inputEdit->text() == expected; }, 10000));
    QTest::qWait(50);  // nothing else follows

    QCOMPARE(titles(answerer), boxes);
    QCOMPARE(window.inputEdit->text(), expected);
    QCOMPARE(window.outputEdit->text(), taken.isEmpty() ? previousOutput : HenQ::proposeOutputPath(expected));
    QCOMPARE(canonicalFolder(storedSetting(QStringLiteral("recentDir"))),
             canonicalFolder(QFileInfo(expected).path()));
    const bool raw = taken.endsWith(QLatin1String(".yuv"));
    QCOMPARE(window.rawFrame.width, raw ? 176 : 0);
    QCOMPARE(window.rawFrame.height, raw ? 144 : 0);
}

int main(int argc, char *argv[])
{
    // Qt's own file dialog, so that the modal answerer can drive it.
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    TstInput test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_input.moc"
