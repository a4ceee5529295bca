#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "support/testwindow.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using TestSupport::IsolatedEnvironment;

namespace {

// A stand-in encoder of the test's own. It records its arguments one per line, waits until
// the test says the job has finished decoding, copies its -i file, prints output.txt and
// exits with the code in exitcode.txt.
const char fakeEncoderScript[] = R"(#!/bin/sh
dir=$(dirname "$0")
for a in "$@"; do printf '%s\n' "$a" >> "$dir/args.txt"; done
n=0
while [ ! -e "$dir/go" ] && [ $n -lt 600 ]; do sleep 0.05; n=$((n+1)); done
input=""; prev=""
for a in "$@"; do [ "$prev" = "-i" ] && input=$a; prev=$a; done
cp "$input" "$dir/copy.raw"
[ -e "$dir/output.txt" ] && cat "$dir/output.txt"
exit $(cat "$dir/exitcode.txt" 2>/dev/null || echo 0)
)";

// A job set up in an isolated environment with the fake encoder in a folder with blanks.
struct JobFixture
{
    IsolatedEnvironment env{QStringLiteral("temp with blanks")};
    QString encoderDir = env.filePath(QStringLiteral("fake encoder"));
    QString clip;
    TestWindow window;
    ModalAnswerer answerer;

    bool prepare(int frames, const QString &size = QStringLiteral("40x30"))
    {
        QDir().mkpath(encoderDir);
        const QString script = encoderDir + QStringLiteral("/enc.sh");
        if (!TestSupport::writeFile(script, fakeEncoderScript))
            return false;
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        clip = env.filePath(QStringLiteral("input clip.nut"));
        if (!TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=" + size + ":rate=10",
                                  "-frames:v", QString::number(frames), "-c:v", "ffv1",
                                  "-pix_fmt", "yuv420p", clip}))
            return false;
        QString path = clip;
        window.fileOpen(path);
        window.encoderEdit->setText(script);
        window.cfgEdit->setText(env.filePath(QStringLiteral("my config.cfg")));
        window.outputEdit->setText(env.filePath(QStringLiteral("out dir/result.265")));
        return true;
    }

    QString tempFile(const QString &name) const { return env.tempPath() + QLatin1Char('/') + name; }
    QStringList tempFiles() const { return QDir(env.tempPath()).entryList(QDir::Files); }
    QStringList arguments() const
    {
        return QString::fromUtf8(TestSupport::readFile(encoderDir + QStringLiteral("/args.txt"))).split('\n', Qt::SkipEmptyParts);
    }
    void release() { TestSupport::writeFile(encoderDir + QStringLiteral("/go"), QByteArray()); }
    bool finished() { return answerer.waitForTitle(QStringLiteral("Done"), 60000); }
    QString lastText() const { return answerer.shown.isEmpty() ? QString() : answerer.shown.last().text; }
};

// Limits the size of files this process (and its children) may write, for disk-full tests.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }

private:
    rlimit saved;
};

} // namespace

class EncodeJobTest : public QObject
{
    Q_OBJECT

private slots:
    void decodeRoute_feedsEncoderPaddedPictures_data();
    void decodeRoute_feedsEncoderPaddedPictures();
    void missingEncoder_reportsAndLeavesNothing();
    void rawRoute_handsOverInputAsTyped();
    void emptyInput_warnsNoInput();
    void sizeChange_endsInputAtTheChange();
    void failedWrite_cutsFileAndWarns_data();
    void failedWrite_cutsFileAndWarns();
    void destruction_killsRunningEncoder();
    void endToEnd_bundledEncoderTranscodes();
};

void EncodeJobTest::decodeRoute_feedsEncoderPaddedPictures_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("shownLog");

    QTest::newRow("ten pictures, launched while decoding")
        << 10 << 0 << QByteArray("POC 0\nPOC 1\n") << "POC 0\nPOC 1\n";
    QTest::newRow("three pictures, launched after decoding")
        << 3 << 0 << QByteArray("three\n") << "three\n";
    QTest::newRow("exit code 1 reported")
        << 7 << 1 << QByteArray("bad config\n") << "bad config\n";
    QTest::newRow("zero byte ends the read")
        << 6 << 0 << QByteArray("before\0after\n", 13) << "before";
    QTest::newRow("markup shown as text")
        << 6 << 0 << QByteArray("<b>bold</b> &amp;\n") << "<b>bold</b> &amp;\n";
}

void EncodeJobTest::decodeRoute_feedsEncoderPaddedPictures()
{
    QFETCH(int, frames);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QFETCH(QString, shownLog);

    JobFixture job;
    QVERIFY(job.prepare(frames));
    QVERIFY(TestSupport::writeFile(job.encoderDir + "/output.txt", output));
    QVERIFY(TestSupport::writeFile(job.encoderDir + "/exitcode.txt", QByteArray::number(exitCode)));

    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    // Decoding is over when the click returns; the encoder runs and the button waits for it.
    QVERIFY(!job.window.encodeButton->isEnabled());
    QCOMPARE(job.answerer.count(QStringLiteral("Cmdline")), 1);
    const QString tempPath = job.tempFile(QStringLiteral("mlxtmp_48x32.420"));
    QVERIFY(QFile::exists(tempPath));
    QCOMPARE(job.window.encoderInputPath, tempPath);
    QVERIFY(job.window.encoderInputIsTemporary);

    const QString commandLine = QStringLiteral("\"%1/enc.sh\" -c \"%2\" -i \"%3\" -b \"%4\" -wdt 48 -hgt 32")
                                    .arg(job.encoderDir, job.env.filePath("my config.cfg"), tempPath,
                                         job.env.filePath("out dir/result.265"));
    QCOMPARE(job.answerer.shown.first().text, commandLine);
    QCOMPARE(job.window.logView->toPlainText(), commandLine);

    job.release();
    QVERIFY(job.finished());
    QCOMPARE(job.lastText(), QStringLiteral("Encoding done(%1).").arg(exitCode));
    QVERIFY(job.window.encodeButton->isEnabled());
    QVERIFY(!job.window.encoderProcess);
    QVERIFY(job.tempFiles().isEmpty());

    QCOMPARE(job.arguments(),
             QStringList({"-c", job.env.filePath("my config.cfg"), "-i", tempPath, "-b",
                          job.env.filePath("out dir/result.265"), "-wdt", "48", "-hgt", "32"}));

    const QString reference = job.env.filePath(QStringLiteral("reference.yuv"));
    QVERIFY(TestSupport::ffmpeg({"-i", job.clip, "-f", "rawvideo", "-pix_fmt", "yuv420p", reference}));
    const QByteArray expected = TestSupport::padFrames(TestSupport::readFile(reference), 40, 30, 2, 2);
    QCOMPARE(expected.size(), frames * 48 * 32 * 3 / 2);
    QVERIFY(TestSupport::readFile(job.encoderDir + "/copy.raw") == expected);

    QCOMPARE(job.window.logView->toPlainText(), commandLine + shownLog);
}

void EncodeJobTest::missingEncoder_reportsAndLeavesNothing()
{
    JobFixture job;
    QVERIFY(job.prepare(12));
    job.window.encoderEdit->setText(job.env.filePath(QStringLiteral("no such encoder")));

    // The second press must behave like the first: no stale process blocks it.
    for (int press = 1; press <= 2; ++press) {
        QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
        QCOMPARE(job.answerer.count(QStringLiteral("Cmdline")), press);
        QCOMPARE(job.answerer.count(QStringLiteral("Encoding error")), press);
        QCOMPARE(job.lastText(), QStringLiteral("Error# 0"));
        QVERIFY(job.window.encodeButton->isEnabled());
        QVERIFY(!job.window.encoderProcess);
        QVERIFY(job.tempFiles().isEmpty());
    }
    QTest::qWait(100);
    QCOMPARE(job.answerer.count(QStringLiteral("Done")), 0);
}

void EncodeJobTest::rawRoute_handsOverInputAsTyped()
{
    JobFixture job;
    QVERIFY(job.prepare(1));
    const QByteArray pictures(352 * 288 * 3 / 2 * 2, '\x40');
    QVERIFY(TestSupport::writeFile(job.env.filePath(QStringLiteral("cif clip.yuv")), pictures));

    // Typed relative to the current directory, and handed over exactly so.
    QDir::setCurrent(job.env.path());
    job.window.inputEdit->setText(QStringLiteral("cif clip.yuv"));
    job.window.rawFrame.width = 352;
    job.window.rawFrame.height = 288;
    job.window.rawFrame.lumaPadWidth = 7;
    job.window.rawFrame.lumaPadHeight = 9;

    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.answerer.shown.first().text.endsWith(
        QStringLiteral("-i \"cif clip.yuv\" -b \"%1\" -wdt 352 -hgt 288").arg(job.env.filePath("out dir/result.265"))));
    QVERIFY(!job.window.encoderInputIsTemporary);
    job.release();
    QVERIFY(job.finished());

    QCOMPARE(job.lastText(), QStringLiteral("Encoding done(0)."));
    QCOMPARE(job.arguments().mid(2, 2), QStringList({"-i", "cif clip.yuv"}));
    QVERIFY(QFile::exists(job.env.filePath(QStringLiteral("cif clip.yuv"))));
    QVERIFY(TestSupport::readFile(job.encoderDir + "/copy.raw") == pictures);
    QVERIFY(job.tempFiles().isEmpty());
    QDir::setCurrent(QCoreApplication::applicationDirPath());
}

void EncodeJobTest::emptyInput_warnsNoInput()
{
    JobFixture job;
    QVERIFY(job.prepare(1));
    job.window.inputEdit->clear();
    job.window.onEncode();
    QCOMPARE(job.answerer.shown.size(), 1);
    QCOMPARE(job.answerer.shown.first().title, QStringLiteral("No Input"));
    QCOMPARE(job.answerer.shown.first().text, QStringLiteral("Please open an input file first."));
    QVERIFY(!job.window.encoderProcess);
    QVERIFY(job.tempFiles().isEmpty());
}

void EncodeJobTest::sizeChange_endsInputAtTheChange()
{
    JobFixture job;
    QVERIFY(job.prepare(1));
    // Two elementary streams back to back: 8 pictures of 40x30, then 4 of 64x48.
    const QString first = job.env.filePath(QStringLiteral("first.h264"));
    const QString second = job.env.filePath(QStringLiteral("second.h264"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=40x30:rate=10", "-frames:v", "8",
                                 "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "h264", first}));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-frames:v", "4",
                                 "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "h264", second}));
    const QString joined = job.env.filePath(QStringLiteral("joined.h264"));
    QVERIFY(TestSupport::writeFile(joined, TestSupport::readFile(first) + TestSupport::readFile(second)));
    job.window.inputEdit->setText(joined);

    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QCOMPARE(job.answerer.count(QStringLiteral("Encoding error")), 1);
    const auto warning = std::find_if(job.answerer.shown.cbegin(), job.answerer.shown.cend(),
                                      [](const ShownModal &m) { return m.title == "Encoding error"; });
    QCOMPARE(warning->text, QStringLiteral("The picture size of %1 changes from 40x30 to 64x48 after 8 "
                                           "pictures.\nOnly the pictures before the change are encoded.")
                                .arg(joined));
    job.release();
    QVERIFY(job.finished());
    QCOMPARE(TestSupport::readFile(job.encoderDir + "/copy.raw").size(), 8 * 48 * 32 * 3 / 2);
    QCOMPARE(job.arguments().mid(6), QStringList({"-wdt", "48", "-hgt", "32"}));
}

void EncodeJobTest::failedWrite_cutsFileAndWarns_data()
{
    QTest::addColumn<int>("roomInPictures");
    QTest::addColumn<bool>("encoderLaunched");
    QTest::newRow("disk full before the launch") << 2 << false;
    QTest::newRow("disk full while the encoder reads") << 7 << true;
}

void EncodeJobTest::failedWrite_cutsFileAndWarns()
{
    QFETCH(int, roomInPictures);
    QFETCH(bool, encoderLaunched);

    JobFixture job;
    QVERIFY(job.prepare(12));
    const int frameBytes = 48 * 32 * 3 / 2;
    {
        FileSizeLimit limit(rlim_t(frameBytes * roomInPictures + frameBytes / 2));
        QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    }
    const int warnings = job.answerer.count(QStringLiteral("Encoding error"));
    QCOMPARE(warnings, 1);
    const ShownModal warning = *std::find_if(job.answerer.shown.cbegin(), job.answerer.shown.cend(),
                                             [](const ShownModal &m) { return m.title == "Encoding error"; });
    QVERIFY2(warning.text.contains(job.tempFile(QStringLiteral("mlxtmp_48x32.420"))), qPrintable(warning.text));
    QVERIFY2(warning.text.contains(QStringLiteral("File too large")), qPrintable(warning.text));
    QCOMPARE(job.answerer.count(QStringLiteral("Cmdline")), encoderLaunched ? 1 : 0);

    if (!encoderLaunched) {
        QVERIFY(!job.window.encoderProcess);
        QVERIFY(job.window.encodeButton->isEnabled());
        QVERIFY(job.tempFiles().isEmpty());
        return;
    }
    // The encoder reads whole pictures only: the torn one was cut away.
    QCOMPARE(QFileInfo(job.tempFile(QStringLiteral("mlxtmp_48x32.420"))).size(), qint64(frameBytes * roomInPictures));
    job.release();
    QVERIFY(job.finished());
    QCOMPARE(TestSupport::readFile(job.encoderDir + "/copy.raw").size(), frameBytes * roomInPictures);
    QVERIFY(job.tempFiles().isEmpty());
}

void EncodeJobTest::destruction_killsRunningEncoder()
{
    IsolatedEnvironment env;
    QProcess sleeper;  // not a child of the window, so only the window's destructor can stop it
    sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(sleeper.waitForStarted(5000));
    {
        TestWindow window;
        window.encoderProcess = &sleeper;
    }
    QVERIFY(sleeper.waitForFinished(5000));
    QCOMPARE(sleeper.exitStatus(), QProcess::CrashExit);
}

void EncodeJobTest::endToEnd_bundledEncoderTranscodes()
{
    const QString encoder = TestSupport::binDir() + QStringLiteral("/TAppEncoder_hm80.exe");
    const QString config = TestSupport::binDir() + QStringLiteral("/hevczent.cfg");
    if (!QFile::exists(encoder) || !QFile::exists(config))
        QSKIP("the bundled encoder is not built");

    IsolatedEnvironment env;
    const QString clip = env.filePath(QStringLiteral("clip with sound.mp4"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=174x98:rate=25", "-f", "lavfi",
                                 "-i", "sine=frequency=440", "-frames:v", "30", "-c:v", "libx264",
                                 "-bf", "3", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", clip}));

    TestWindow window;
    window.show();
    QString path = clip;
    window.fileOpen(path);  // as the command line does
    window.encoderEdit->setText(encoder);
    window.cfgEdit->setText(config);
    const QString bitstream = env.filePath(QStringLiteral("clip with sound.265"));
    QCOMPARE(window.outputEdit->text(), bitstream);

    ModalAnswerer answerer;
    QTest::mouseClick(window.encodeButton, Qt::LeftButton);
    QVERIFY(answerer.waitForTitle(QStringLiteral("Done"), 120000));
    QCOMPARE(answerer.shown.last().text, QStringLiteral("Encoding done(0)."));
    QCOMPARE(QDir(env.tempPath()).entryList(QDir::Files), QStringList());

    const TestSupport::ProbeResult probe = TestSupport::probeVideo(bitstream);
    QCOMPARE(probe.codec, QStringLiteral("hevc"));
    QCOMPARE(probe.frames, 30);
    QCOMPARE(probe.width, 176);
    QCOMPARE(probe.height, 112);

    // Luma quality over the picture area, the padding cropped away.
    const TestSupport::RunResult psnr = TestSupport::run(
        QStringLiteral("ffmpeg"), {"-nostdin", "-hide_banner", "-i", bitstream, "-i", clip, "-lavfi",
                                   "[0:v]crop=174:98:0:0[a];[a][1:v]psnr", "-f", "null", "-"});
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("PSNR y:([0-9.]+)")).match(QString::fromUtf8(psnr.err));
    QVERIFY2(match.hasMatch(), psnr.err.constData());
    QVERIFY2(match.captured(1).toDouble() >= 30.0, qPrintable(match.captured(0)));

    const QString log = window.logView->toPlainText();
    QVERIFY(log.startsWith(answerer.shown.first().text));
    QCOMPARE(log.count(QRegularExpression(QStringLiteral("(^|\\n)POC "))), 30);
    // The view follows the newest output.
    QVERIFY(window.logView->verticalScrollBar()->value() > 0);
    QVERIFY(window.logView->textCursor().atEnd());
    QVERIFY(window.logView->viewport()->rect().contains(window.logView->cursorRect()));
    TestSupport::saveScreenshot(&window, QStringLiteral("main_window_after_encode"));
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    EncodeJobTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_encodejob.moc"
