#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "support/testwindow.h"
#include "jobtypes/encoderconfigfile.h"
#include "jobtypes/jobverdict.h"
#include "window/reportdialog.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QChart>
#include <QLineSeries>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTest>

#include <QTextBlock>
#include <QToolButton>
#include <QTextDocument>

#include <csignal>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

using TestSupport::IsolatedEnvironment;

namespace {

// A stand-in encoder of the test's own. It records its arguments one per line and its process
// number, waits until the test says so, copies its -i input (a pipe is read to its end),
// writes stream.265 as its bitstream, prints output.txt and exits with the code in
// exitcode.txt.
const char fakeEncoderScript[] = R"(#!/bin/sh
dir=$(dirname "$0")
for a in "$@"; do printf '%s\n' "$a" >> "$dir/args.txt"; done
echo $$ > "$dir/pid.txt"
[ -e "$dir/exitnow" ] && exit $(cat "$dir/exitcode.txt")
n=0
while [ ! -e "$dir/go" ] && [ $n -lt 600 ]; do sleep 0.05; n=$((n+1)); done
input=""; output=""; prev=""
for a in "$@"; do [ "$prev" = "-i" ] && input=$a; [ "$prev" = "-b" ] && output=$a; prev=$a; done
cat "$input" > "$dir/copy.raw"
[ -e "$dir/stream.265" ] && cp "$dir/stream.265" "$output"
[ -e "$dir/output.txt" ] && cat "$dir/output.txt"
exit $(cat "$dir/exitcode.txt" 2>/dev/null || echo 0)
)";

// The first video stream as ffprobe reports it.
QJsonObject probeStream(const QString &path)
{
    const TestSupport::RunResult result = TestSupport::run(
        QStringLiteral("ffprobe"), {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_streams",
                                    "-of", "json", path});
    return QJsonDocument::fromJson(result.out).object().value("streams").toArray().first().toObject();
}

// Runs one job to its end without a window; collects what it said.
struct JobRun
{
    JobResult result;
    QStringList messages;
    bool ended = false;

    explicit JobRun(const JobSettings &settings)
    {
        TranscodeJob job;
        QObject::connect(&job, &TranscodeJob::message, [this](const QString &line) { messages << line; });
        QObject::connect(&job, &TranscodeJob::finished, [this](const JobResult &end) {
            result = end;
            ended = true;
        });
        job.start(settings);
        ended = QTest::qWaitFor([this] { return ended; }, 120000);
    }
};

// A job of three small pictures for a scripted encoder, run without a window; empty settings
// when the clip cannot be made.
JobSettings scriptedJob(const IsolatedEnvironment &env, const QString &script)
{
    JobSettings settings;
    settings.input = env.filePath(QStringLiteral("clip.nut"));
    settings.encoder = script;
    settings.config = env.filePath(QStringLiteral("any.cfg"));
    settings.output = env.filePath(QStringLiteral("out.265"));
    if (!TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=40x30:rate=10", "-frames:v", "3", "-c:v", "ffv1",
                              settings.input}))
        return JobSettings();
    return settings;
}

// A job set up in an isolated environment with the fake encoder in a folder with blanks.
struct JobFixture
{
    IsolatedEnvironment env{QStringLiteral("temp with blanks")};
    QString encoderDir = env.filePath(QStringLiteral("fake encoder"));
    QString clip;
    std::unique_ptr<TestWindow> owned = std::make_unique<TestWindow>();
    TestWindow &window = *owned;
    ModalAnswerer answerer;

    bool prepare(int frames, const QString &size = QStringLiteral("40x30"))
    {
        QDir().mkpath(encoderDir);
        const QString script = encoderDir + QStringLiteral("/enc.sh");
        if (!TestSupport::writeScript(script, fakeEncoderScript)
            || !TestSupport::writeTinyStream(encoderDir + QStringLiteral("/stream.265")))
            return false;
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
        return QDir().mkpath(env.filePath(QStringLiteral("out dir")));
    }

    // Everything in the temporary directory, the job's private folders included.
    QStringList tempEntries() const
    {
        QStringList entries;
        QDirIterator it(env.tempPath(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            entries << it.next().mid(env.tempPath().size() + 1);
        return entries;
    }
    QStringList arguments() const
    {
        return QString::fromUtf8(TestSupport::readFile(encoderDir + QStringLiteral("/args.txt"))).split('\n', Qt::SkipEmptyParts);
    }
    QString encoderInput() const { return arguments().value(arguments().indexOf("-i") + 1); }
    qint64 encoderPid() const { return TestSupport::readFile(encoderDir + "/pid.txt").trimmed().toLongLong(); }
    void release() { TestSupport::writeFile(encoderDir + QStringLiteral("/go"), QByteArray()); }
    bool finished() { return answerer.waitForTitle(QStringLiteral("Done"), 60000); }
    bool idle(int timeoutMs = 60000) { return QTest::qWaitFor([this] { return !window.job->isRunning(); }, timeoutMs); }
    QString lastText() const { return answerer.shown.isEmpty() ? QString() : answerer.shown.last().text; }
    ShownModal box(const QString &title) const
    {
        for (const ShownModal &modal : answerer.shown) {
            if (modal.title == title)
                return modal;
        }
        return ShownModal();
    }
};


// The HDR10 options of the ffmpeg tool's libx265, and the values they write, as ffprobe shows
// the first frame's side data.
const QString hdr10Params = QStringLiteral(
    "log-level=error:hdr10=1:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc:max-cll=1000,400:"
    "master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,1)");
const QStringList hdr10Probed = {
    "red_x=34000/50000", "red_y=16000/50000", "green_x=13250/50000", "green_y=34500/50000",
    "blue_x=7500/50000", "blue_y=3000/50000", "white_point_x=15635/50000", "white_point_y=16450/50000",
    "min_luminance=1/10000", "max_luminance=10000000/10000", "max_content=1000", "max_average=400"};

} // namespace

class EncodeJobTest : public QObject
{
    Q_OBJECT

private slots:
    void decodeRoute_feedsEncoderPaddedPictures_data();
    void decodeRoute_feedsEncoderPaddedPictures();
    void missingEncoder_reportsAndLeavesNothing();
    void encoderExitingAtOnce_isToldWithinTwoSeconds();
    void rawRoute_handsOverTheTypedInputsAbsolutePath();
    void unusableInput_warnsNoInputWithReason_data();
    void unusableInput_warnsNoInputWithReason();
    void sizeChange_endsInputAtTheChange();
    void failedWrite_cutsFileAndWarns_data();
    void failedWrite_cutsFileAndWarns();
    void closingOrDestroying_stopsEncoderAndRemovesFiles_data();
    void closingOrDestroying_stopsEncoderAndRemovesFiles();
    void stop_endsBundledEncoderAndKeepsDecodableOutput();
    void endToEnd_bundledEncoderTranscodes();
    void faithfulOutput_showsWhatTheInputShowed_data();
    void faithfulOutput_showsWhatTheInputShowed();
    void garbageOutput_isLeftAsTheEncoderWroteIt();
    void exitZeroWithoutPictures_isToldAfterDone();
    void lateWriter_outputNotReplacedUnderIt();
    void guardedFiles_refusedBeforeAnythingChanges_data();
    void guardedFiles_refusedBeforeAnythingChanges();
    void talkativeEncoder_logStaysBoundedAndDoneArrives();
    void missingTemporaryFolder_isNamedAndNothingWritten();
    void killedJobsPipe_readerLetGoByTheNextJob();
    void wrapperEncoder_growingFileEndsWithoutWaiting();
    void namedPipeInput_streamsAndStops_data();
    void namedPipeInput_streamsAndStops();
    void pictureFormat_isWhatTheConfigurationAsks_data();
    void pictureFormat_isWhatTheConfigurationAsks();
    void highBitDepth_keepsDetailAndHdr_data();
    void highBitDepth_keepsDetailAndHdr();
    void jobResult_holdsItsWholeVerdict();
    void hangingEncoder_isToldWhereInputEndsAndEnded_data();
    void hangingEncoder_isToldWhereInputEndsAndEnded();
};

void EncodeJobTest::decodeRoute_feedsEncoderPaddedPictures_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<QByteArray>("transport");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("shownLog");
    QTest::addColumn<QString>("outputName");

    QTest::newRow("ten pictures through the pipe")
        << 10 << QByteArray() << 0 << QByteArray("POC 0\nPOC 1\n") << "POC 0\nPOC 1\n" << "out dir/result.265";
    QTest::newRow("three pictures through the pipe")
        << 3 << QByteArray() << 0 << QByteArray("three\n") << "three\n" << "out dir/result.265";
    QTest::newRow("ten pictures through a growing file")
        << 10 << QByteArray("file") << 0 << QByteArray("POC 0\n") << "POC 0\n" << "out dir/result.265";
    QTest::newRow("three pictures through a growing file, launched at the end")
        << 3 << QByteArray("file") << 0 << QByteArray("three\n") << "three\n" << "out dir/result.265";
    QTest::newRow("exit code 1 reported")
        << 7 << QByteArray() << 1 << QByteArray("bad config\n") << "bad config\n" << "out dir/result.265";
    QTest::newRow("zero byte ends the read")
        << 6 << QByteArray() << 0 << QByteArray("before\0after\n", 13) << "before" << "out dir/result.265";
    QTest::newRow("markup shown as text")
        << 6 << QByteArray() << 0 << QByteArray("<b>bold</b> &amp;\n") << "<b>bold</b> &amp;\n" << "out dir/result.265";
    // Quotes and blanks reach the encoder exactly: they are never split or taken for switches.
    QTest::newRow("quotes in the output name")
        << 6 << QByteArray() << 0 << QByteArray("ok\n") << "ok\n" << "out dir/a \"quoted\" -wdt 9 name.265";
}

void EncodeJobTest::decodeRoute_feedsEncoderPaddedPictures()
{
    QFETCH(int, frames);
    QFETCH(QByteArray, transport);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QFETCH(QString, shownLog);
    QFETCH(QString, outputName);

    JobFixture job;
    qputenv("MORLUNEX_FRAME_TRANSPORT", transport);
    QVERIFY(job.prepare(frames));
    job.window.outputEdit->clear();
    QTest::keyClicks(job.window.outputEdit, job.env.filePath(outputName));
    QVERIFY(TestSupport::writeFile(job.encoderDir + "/output.txt", output));
    QVERIFY(TestSupport::writeFile(job.encoderDir + "/exitcode.txt", QByteArray::number(exitCode)));

    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("Cmdline")));
    // While the job runs the button is there to stop it.
    QVERIFY(job.window.job->isRunning());
    QVERIFY(job.window.encodeButton->isEnabled());
    QVERIFY(QTest::qWaitFor([&] { return job.encoderPid() > 0; }, 10000));

    // The frame file lives in a private folder of the job inside the temporary directory.
    const QString framePath = job.encoderInput();
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(
                                    QRegularExpression::escape(job.env.tempPath()) + "/morlunex-[^/]+/mlxtmp_48x32\\.420"))
                 .match(framePath).hasMatch(),
             qPrintable(framePath));
    const QString commandLine = QStringLiteral("\"%1/enc.sh\" -c \"%2\" -i \"%3\" -b \"%4\" -wdt 48 -hgt 32")
                                    .arg(job.encoderDir, job.env.filePath("my config.cfg"), framePath,
                                         job.env.filePath(outputName));
    QCOMPARE(job.answerer.count(QStringLiteral("Cmdline")), 1);
    QCOMPARE(job.answerer.shown.first().text, commandLine);
    QCOMPARE(job.arguments(),
             QStringList({"-c", job.env.filePath("my config.cfg"), "-i", framePath, "-b",
                          job.env.filePath(outputName), "-wdt", "48", "-hgt", "32"}));

    job.release();
    QVERIFY(job.finished());
    QCOMPARE(job.lastText(), QStringLiteral("Encoding done(%1).").arg(exitCode));
    QVERIFY(!job.window.job->isRunning());
    QVERIFY(job.tempEntries().isEmpty());

    const QString reference = job.env.filePath(QStringLiteral("reference.yuv"));
    QVERIFY(TestSupport::ffmpeg({"-i", job.clip, "-f", "rawvideo", "-pix_fmt", "yuv420p", reference}));
    const QByteArray expected = TestSupport::padFrames(TestSupport::readFile(reference), 40, 30, 2, 2);
    QCOMPARE(expected.size(), frames * 48 * 32 * 3 / 2);
    QVERIFY(TestSupport::readFile(job.encoderDir + "/copy.raw") == expected);

    const QString log = job.window.logView->toPlainText();
    QVERIFY2(log.startsWith(commandLine + shownLog), qPrintable(log));
    if (!transport.isEmpty())
        QVERIFY2(!log.contains("named pipe"), qPrintable(log));
    qunsetenv("MORLUNEX_FRAME_TRANSPORT");
}

void EncodeJobTest::missingEncoder_reportsAndLeavesNothing()
{
    JobFixture job;
    QVERIFY(job.prepare(12));
    const QString missing = job.env.filePath(QStringLiteral("no such encoder"));
    job.window.encoderEdit->setText(missing);

    // The second press must behave like the first: no stale process blocks it.
    for (int press = 1; press <= 2; ++press) {
        QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
        QVERIFY(job.answerer.waitForTitle(QStringLiteral("Encoding error")));
        QCOMPARE(job.answerer.count(QStringLiteral("Cmdline")), 1);
        QCOMPARE(job.answerer.count(QStringLiteral("Encoding error")), 1);
        QVERIFY2(job.lastText().startsWith(QStringLiteral("Error# 0\n%1: ").arg(missing)), qPrintable(job.lastText()));
        QVERIFY(job.idle());
        QVERIFY(job.window.encodeButton->isEnabled());
        QVERIFY(job.tempEntries().isEmpty());
        job.answerer.shown.clear();
    }
    QTest::qWait(100);
    QCOMPARE(job.answerer.count(QStringLiteral("Done")), 0);
}

void EncodeJobTest::encoderExitingAtOnce_isToldWithinTwoSeconds()
{
    JobFixture job;
    QVERIFY(job.prepare(300, QStringLiteral("320x240")));
    QVERIFY(TestSupport::writeFile(job.encoderDir + "/exitcode.txt", "7"));
    QVERIFY(TestSupport::writeFile(job.encoderDir + "/exitnow", QByteArray()));

    QElapsedTimer clock;
    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("Cmdline")));
    clock.start();
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("Done"), 10000));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(job.lastText(), QStringLiteral("Encoding done(7)."));
    QVERIFY2(job.window.logView->toPlainText().contains(QRegularExpression(QStringLiteral("code 7 after it was given 0 of \\d+ pictures"))),
             qPrintable(job.window.logView->toPlainText()));
    QVERIFY(job.tempEntries().isEmpty());
}

void EncodeJobTest::rawRoute_handsOverTheTypedInputsAbsolutePath()
{
    JobFixture job;
    QVERIFY(job.prepare(1));
    const QByteArray pictures(352 * 288 * 3 / 2 * 2, '\x40');
    QVERIFY(TestSupport::writeFile(job.env.filePath(QStringLiteral("cif clip.yuv")), pictures));

    // Typed relative to the current directory, and handed over by its absolute path: the
    // encoder runs in the job's private folder.
    QDir::setCurrent(job.env.path());
    job.window.inputEdit->setText(QStringLiteral("cif clip.yuv"));
    job.window.rawFrame.width = 352;
    job.window.rawFrame.height = 288;
    job.window.rawFrame.lumaPadWidth = 7;
    job.window.rawFrame.lumaPadHeight = 9;

    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("Cmdline")));
    const QString input = QDir::current().absoluteFilePath(QStringLiteral("cif clip.yuv"));
    QVERIFY(job.answerer.shown.first().text.endsWith(
        QStringLiteral("-i \"%1\" -b \"%2\" -wdt 352 -hgt 288").arg(input, job.env.filePath("out dir/result.265"))));
    job.release();
    QVERIFY(job.finished());

    QCOMPARE(job.lastText(), QStringLiteral("Encoding done(0)."));
    QCOMPARE(job.arguments().mid(2, 2), QStringList({"-i", input}));
    QVERIFY(QFile::exists(job.env.filePath(QStringLiteral("cif clip.yuv"))));
    QVERIFY(TestSupport::readFile(job.encoderDir + "/copy.raw") == pictures);
    QVERIFY(job.tempEntries().isEmpty());
    QDir::setCurrent(QCoreApplication::applicationDirPath());
}

void EncodeJobTest::unusableInput_warnsNoInputWithReason_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("reason");
    QTest::newRow("empty field") << QString() << QString();
    QTest::newRow("missing file") << "gone.mp4" << "No such file or directory";
    QTest::newRow("folder") << "." << "it is a folder";
    QTest::newRow("device") << "/dev/null" << "it is a device";
    QTest::newRow("not a video") << "my config.cfg" << "Invalid data";
}

void EncodeJobTest::unusableInput_warnsNoInputWithReason()
{
    QFETCH(QString, input);
    QFETCH(QString, reason);

    JobFixture job;
    QVERIFY(job.prepare(1));
    QVERIFY(TestSupport::writeFile(job.env.filePath("my config.cfg"), "QP : 32\n"));
    const QString path = input.isEmpty() || input.startsWith('/') ? input : job.env.filePath(input);
    job.window.inputEdit->setText(path);
    job.window.onEncode();
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("No Input")));
    QCOMPARE(job.answerer.shown.size(), 1);
    const QString text = job.answerer.shown.first().text;
    if (reason.isEmpty()) {
        QCOMPARE(text, QStringLiteral("Please open an input file first."));
    } else {
        QVERIFY2(text.startsWith(QStringLiteral("Please open an input file first.\n%1: ").arg(QDir::toNativeSeparators(path))),
                 qPrintable(text));
        QVERIFY2(text.contains(reason), qPrintable(text));
    }
    QVERIFY(job.idle());
    QVERIFY(job.arguments().isEmpty());
    QVERIFY(job.tempEntries().isEmpty());
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
    job.release();
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("Encoding error")));
    QCOMPARE(job.box(QStringLiteral("Encoding error")).text,
             QStringLiteral("The picture size of %1 changes from 40x30 to 64x48 after 8 "
                            "pictures.\nOnly the pictures before the change are encoded.")
                 .arg(joined));
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

    // A full disk only bites the growing file; a pipe stores nothing.
    JobFixture job;
    qputenv("MORLUNEX_FRAME_TRANSPORT", "file");
    QVERIFY(job.prepare(12));
    const int frameBytes = 48 * 32 * 3 / 2;
    {
        TestSupport::FileSizeLimit limit(rlim_t(frameBytes * roomInPictures + frameBytes / 2));
        QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
        QVERIFY(job.answerer.waitForTitle(QStringLiteral("Encoding error")));
    }
    qunsetenv("MORLUNEX_FRAME_TRANSPORT");
    QCOMPARE(job.answerer.count(QStringLiteral("Encoding error")), 1);
    const ShownModal warning = job.box(QStringLiteral("Encoding error"));
    QVERIFY2(warning.text.contains(QStringLiteral("mlxtmp_48x32.420")), qPrintable(warning.text));
    QVERIFY2(warning.text.contains(QDir::toNativeSeparators(job.env.tempPath())), qPrintable(warning.text));
    QVERIFY2(warning.text.contains(QStringLiteral("File too large")), qPrintable(warning.text));
    QCOMPARE(job.answerer.count(QStringLiteral("Cmdline")), encoderLaunched ? 1 : 0);

    if (!encoderLaunched) {
        QVERIFY(job.idle());
        QVERIFY(job.tempEntries().isEmpty());
        return;
    }
    // The encoder reads whole pictures only: the torn one was cut away.
    QCOMPARE(QFileInfo(job.env.tempPath() + '/' + job.tempEntries().filter("mlxtmp_48x32.420").value(0)).size(),
             qint64(frameBytes * roomInPictures));
    job.release();
    QVERIFY(job.finished());
    QCOMPARE(TestSupport::readFile(job.encoderDir + "/copy.raw").size(), frameBytes * roomInPictures);
    QVERIFY(job.tempEntries().isEmpty());
}

void EncodeJobTest::closingOrDestroying_stopsEncoderAndRemovesFiles_data()
{
    QTest::addColumn<bool>("close");
    QTest::addColumn<bool>("confirm");
    QTest::newRow("window closed, stop confirmed") << true << true;
    QTest::newRow("window closed, stop declined") << true << false;
    QTest::newRow("window destroyed") << false << false;
}

void EncodeJobTest::closingOrDestroying_stopsEncoderAndRemovesFiles()
{
    QFETCH(bool, close);
    QFETCH(bool, confirm);

    JobFixture job;
    QVERIFY(job.prepare(40, QStringLiteral("640x480")));
    job.window.show();
    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("Cmdline")));
    QVERIFY(QTest::qWaitFor([&] { return job.encoderPid() > 0; }, 10000));
    const qint64 pid = job.encoderPid();
    QVERIFY(TestSupport::processAlive(pid));
    QVERIFY2(!job.tempEntries().isEmpty(), "the job's private folder exists while it runs");

    if (close) {
        job.answerer.pressButton(confirm ? QMessageBox::Yes : QMessageBox::No);
        QCOMPARE(job.window.close(), confirm);
        QCOMPARE(job.answerer.shown.last().title, QStringLiteral("Stop encoding"));
        if (!confirm) {
            QVERIFY(job.window.isVisible());
            QVERIFY(job.window.job->isRunning());
            job.release();
            QVERIFY(job.finished());
            return;
        }
        // Closing returns only once the encoder has ended and the files are gone.
        QVERIFY(!TestSupport::processAlive(pid));
        QVERIFY(job.tempEntries().isEmpty());
    }
    job.owned.reset();
    QVERIFY(!TestSupport::processAlive(pid));
    QVERIFY(job.tempEntries().isEmpty());
    QCOMPARE(job.answerer.count(QStringLiteral("Done")), 0);
}

void EncodeJobTest::stop_endsBundledEncoderAndKeepsDecodableOutput()
{
    const QString encoder = TestSupport::binDir() + QStringLiteral("/TAppEncoder_hm80.exe");
    const QString config = TestSupport::binDir() + QStringLiteral("/hevczent.cfg");
    if (!QFile::exists(encoder) || !QFile::exists(config))
        QSKIP("the bundled encoder is not built");

    IsolatedEnvironment env;
    const QString clip = env.filePath(QStringLiteral("long clip.nut"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-frames:v", "2000",
                                 "-c:v", "ffv1", clip}));
    TestWindow window;
    window.show();
    QString path = clip;
    window.fileOpen(path);
    window.encoderEdit->setText(encoder);
    window.cfgEdit->setText(config);
    const QString bitstream = window.outputEdit->text();

    ModalAnswerer answerer;
    QTest::mouseClick(window.encodeButton, Qt::LeftButton);
    QVERIFY(answerer.waitForTitle(QStringLiteral("Cmdline")));
    // Stopped once the encoder has written some pictures.
    QVERIFY(QTest::qWaitFor([&] { return window.logView->toPlainText().count(QStringLiteral("\nPOC ")) >= 20; }, 60000));
    QVERIFY(!TestSupport::processesMentioning(bitstream).isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return window.progressLabel->text().contains(QStringLiteral("left")); }, 10000));
    QVERIFY(window.progressBar->isVisible());
    QCOMPARE(window.progressBar->maximum(), 1000);
    TestSupport::saveScreenshot(&window, QStringLiteral("main_window_during_job"));
    answerer.pressButton(QMessageBox::Yes);
    QTest::mouseClick(window.encodeButton, Qt::LeftButton);
    QCOMPARE(answerer.shown.last().title, QStringLiteral("Stop encoding"));
    QVERIFY(QTest::qWaitFor([&] { return !window.job->isRunning(); }, 10000));

    QVERIFY(TestSupport::processesMentioning(bitstream).isEmpty());
    QVERIFY(QDir(env.tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    const QString log = window.logView->toPlainText();
    const QRegularExpressionMatch stopped =
        QRegularExpression(QStringLiteral("Encoding stopped after (\\d+) pictures\\.")).match(log);
    QVERIFY2(stopped.hasMatch(), qPrintable(log.right(300)));
    QVERIFY(stopped.captured(1).toInt() < 2000);
    QCOMPARE(answerer.count(QStringLiteral("Done")), 0);
    QVERIFY(window.encodeButton->isEnabled());
    QCOMPARE(window.encodeButton->toolTip(), QStringLiteral("Start encoding"));

    // What the encoder wrote before it was stopped still plays.
    const TestSupport::ProbeResult probe = TestSupport::probeVideo(bitstream);
    QCOMPARE(probe.codec, QStringLiteral("hevc"));
    QVERIFY2(probe.frames >= 10, qPrintable(QString::number(probe.frames)));
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
    // Shown at the input's size: the padding is cropped by the output's parameter sets.
    QCOMPARE(probe.width, 174);
    QCOMPARE(probe.height, 98);
    QVERIFY(TestSupport::lumaPsnr(bitstream, clip, 174, 98) >= 30.0);

    const QString log = window.logView->toPlainText();
    QVERIFY(log.startsWith(answerer.shown.first().text));
    QVERIFY2(log.contains(QStringLiteral("Output shown at 174x98 (2 columns and 14 rows of padding cropped), 25 fps")),
             qPrintable(log.right(400)));
    QCOMPARE(log.count(QRegularExpression(QStringLiteral("(^|\\n)POC "))), 30);
    // The view follows the newest output.
    QVERIFY(window.logView->verticalScrollBar()->value() > 0);
    QVERIFY(window.logView->textCursor().atEnd());
    QVERIFY(window.logView->viewport()->rect().contains(window.logView->cursorRect()));
    TestSupport::saveScreenshot(&window, QStringLiteral("main_window_after_encode"));

    // The job's report, one picture each, behind the control that appeared with its end.
    QVERIFY(window.reportButton->isVisible());
    QTest::mouseClick(window.reportButton, Qt::LeftButton);
    auto *report = window.findChild<ReportDialog *>();
    QVERIFY(report && report->isVisible());
    QCOMPARE(report->windowTitle(), QStringLiteral("Report: clip with sound.265"));
    const QList<QAbstractSeries *> series = report->chart()->series();
    QVERIFY(std::any_of(series.begin(), series.end(), [](QAbstractSeries *one) {
        auto *line = qobject_cast<QLineSeries *>(one);
        return line && line->count() == 30;
    }));
    TestSupport::saveScreenshot(report, QStringLiteral("report_dialog_after_encode"));
}

void EncodeJobTest::faithfulOutput_showsWhatTheInputShowed_data()
{
    QTest::addColumn<QString>("source");       // lavfi graph
    QTest::addColumn<QStringList>("coding");   // the ffmpeg tool's output options
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QSize>("sourceSize");
    QTest::addColumn<QSize>("shownSize");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("sar");
    QTest::addColumn<QString>("range");

    const QStringList h264 = {"-c:v", "libx264", "-pix_fmt", "yuv420p"};
    QTest::newRow("4:2:2 MJPEG") << "testsrc2=size=320x240:rate=25" << QStringList{"-c:v", "mjpeg", "-pix_fmt", "yuvj422p"}
                                 << "avi" << 20 << QSize(320, 240) << QSize(320, 240) << "25/1" << "" << "";
    QTest::newRow("4:4:4 H.264") << "testsrc2=size=320x240:rate=25" << QStringList{"-c:v", "libx264", "-pix_fmt", "yuv444p"}
                                 << "mp4" << 20 << QSize(320, 240) << QSize(320, 240) << "25/1" << "" << "";
    QTest::newRow("1080 rows padded to 1088") << "testsrc2=size=1920x1080:rate=25" << h264 << "mp4" << 3
                                              << QSize(1920, 1080) << QSize(1920, 1080) << "25/1" << "" << "";
    QTest::newRow("NTSC rate") << "testsrc2=size=176x120:rate=30000/1001" << h264 << "mp4" << 10
                               << QSize(176, 120) << QSize(176, 120) << "30000/1001" << "" << "";
    QTest::newRow("anamorphic") << "testsrc2=size=176x120:rate=25,setsar=32/27" << h264 << "mp4" << 10
                                << QSize(176, 120) << QSize(176, 120) << "25/1" << "32:27" << "";
    QTest::newRow("JPEG range") << "testsrc2=size=176x120:rate=25" << QStringList{"-c:v", "libx264", "-pix_fmt", "yuvj420p"}
                                << "mp4" << 10 << QSize(176, 120) << QSize(176, 120) << "25/1" << "" << "pc";
    // A raw input has no padding to crop, but the rate typed for it reaches the output.
    QTest::newRow("raw input at 24 fps") << "testsrc2=size=176x120:rate=24" << QStringList{"-f", "rawvideo", "-pix_fmt", "yuv420p"}
                                         << "yuv" << 10 << QSize(176, 120) << QSize(176, 120) << "24/1" << "" << "";
    QTest::newRow("odd size, rounded up") << "testsrc=size=175x99:rate=25" << QStringList{"-c:v", "ffv1", "-pix_fmt", "yuv420p"}
                                          << "nut" << 10 << QSize(175, 99) << QSize(176, 100) << "25/1" << "" << "";
}

void EncodeJobTest::faithfulOutput_showsWhatTheInputShowed()
{
    QFETCH(QString, source);
    QFETCH(QStringList, coding);
    QFETCH(QString, suffix);
    QFETCH(int, frames);
    QFETCH(QSize, sourceSize);
    QFETCH(QSize, shownSize);
    QFETCH(QString, rate);
    QFETCH(QString, sar);
    QFETCH(QString, range);

    const QString encoder = TestSupport::binDir() + QStringLiteral("/TAppEncoder_hm80.exe");
    if (!QFile::exists(encoder))
        QSKIP("the bundled encoder is not built");
    IsolatedEnvironment env;
    JobSettings settings;
    settings.input = env.filePath("source." + suffix);
    QVERIFY(TestSupport::ffmpeg(QStringList{"-f", "lavfi", "-i", source, "-frames:v", QString::number(frames)}
                                + coding + QStringList{settings.input}));
    if (suffix == QLatin1String("yuv")) {
        settings.rawWidth = sourceSize.width();
        settings.rawHeight = sourceSize.height();
        settings.rawFps = 24;
    }
    settings.encoder = encoder;
    settings.config = TestSupport::binDir() + QStringLiteral("/hevczent.cfg");
    settings.output = env.filePath(QStringLiteral("out.265"));

    const JobRun run(settings);
    QVERIFY(run.ended);
    QCOMPARE(run.result.outcome, JobResult::Finished);
    QCOMPARE(run.result.exitCode, 0);
    QVERIFY2(run.messages.filter(QRegularExpression(QStringLiteral("^Output (shown at|set to) "))).size() == 1,
             qPrintable(run.messages.join('\n')));

    const QJsonObject stream = probeStream(settings.output);
    QCOMPARE(stream.value("codec_name").toString(), QStringLiteral("hevc"));
    QCOMPARE(stream.value("nb_read_frames").toString().toInt(), frames);
    QCOMPARE(QSize(stream.value("width").toInt(), stream.value("height").toInt()), shownSize);
    QCOMPARE(stream.value("r_frame_rate").toString(), rate);
    if (!sar.isEmpty())
        QCOMPARE(stream.value("sample_aspect_ratio").toString(), sar);
    if (!range.isEmpty())
        QCOMPARE(stream.value("color_range").toString(), range);
    if (settings.rawWidth != 0)
        settings.input = QStringLiteral("rawvideo:%1x%2:%3").arg(sourceSize.width()).arg(sourceSize.height()).arg(settings.input);
    const double psnr = TestSupport::lumaPsnr(settings.output, settings.input, sourceSize.width(), sourceSize.height());
    QVERIFY2(psnr >= 30.0, qPrintable(QString::number(psnr)));
}

void EncodeJobTest::garbageOutput_isLeftAsTheEncoderWroteIt()
{
    IsolatedEnvironment env;
    const QString script = env.filePath(QStringLiteral("garbage.sh"));
    QVERIFY(TestSupport::writeScript(script, "#!/bin/sh\n"
                                           "while [ \"$1\" != -b ]; do shift; done\n"
                                           "printf 'not a bitstream at all' > \"$2\"\nexit 0\n"));
    const JobSettings settings = scriptedJob(env, script);
    QVERIFY(!settings.input.isEmpty());

    const JobRun run(settings);
    QVERIFY(run.ended);
    QCOMPARE(run.result.outcome, JobResult::Finished);
    QCOMPARE(run.result.exitCode, 0);
    QCOMPARE(TestSupport::readFile(settings.output), QByteArray("not a bitstream at all"));
    QCOMPARE(QDir(env.path()).entryList({"out*"}, QDir::Files), QStringList({"out.265"}));
    // Bytes that are no bitstream are nothing to show for an exit code of 0.
    QVERIFY2(run.result.outputProblem.contains(QStringLiteral("holds no picture")), qPrintable(run.result.outputProblem));
}

// An exit code of 0 with nothing to show for it: "Encoding done(0)." is followed by a warning
// that says so, and the output of an earlier run is not passed off as this one's.
void EncodeJobTest::exitZeroWithoutPictures_isToldAfterDone()
{
    JobFixture job;
    QVERIFY(job.prepare(4));
    QVERIFY(QFile::remove(job.encoderDir + QStringLiteral("/stream.265")));
    const QString output = job.env.filePath(QStringLiteral("out dir/result.265"));
    QVERIFY(TestSupport::writeFile(output, "from an earlier run"));
    job.release();

    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("Encoding error")));
    QStringList titles;
    for (const ShownModal &modal : job.answerer.shown)
        titles << modal.title;
    QCOMPARE(titles, QStringList({"Cmdline", "Done", "Encoding error"}));
    QCOMPARE(job.box(QStringLiteral("Done")).text, QStringLiteral("Encoding done(0)."));
    const QString text = job.lastText();
    QVERIFY2(text.contains(output) && text.contains(QStringLiteral("did not write the output file")), qPrintable(text));
    QCOMPARE(TestSupport::readFile(output), QByteArray("from an earlier run"));
    QVERIFY(job.idle());
    QVERIFY(job.tempEntries().isEmpty());
}

// A wrapper whose child goes on writing into the output after the wrapper exited 0: the output
// is not replaced under the child, so what the child writes last still lands in it.
void EncodeJobTest::lateWriter_outputNotReplacedUnderIt()
{
    IsolatedEnvironment env;
    QVERIFY(TestSupport::writeTinyStream(env.filePath(QStringLiteral("tiny.265"))));
    const QByteArray tiny = TestSupport::readFile(env.filePath(QStringLiteral("tiny.265")));
    const QString script = env.filePath(QStringLiteral("wrapper.sh"));
    QVERIFY(TestSupport::writeScript(script, "#!/bin/sh\n"
                                           "dir=$(dirname \"$0\")\n"
                                           "while [ \"$1\" != -b ]; do shift; done\n"
                                           "exec 3>\"$2\"\n"
                                           "cat \"$dir/tiny.265\" >&3\n"
                                           "( sleep 6; cat \"$dir/tiny.265\" >&3 ) >/dev/null 2>&1 &\n"
                                           "exit 0\n"));
    const JobSettings settings = scriptedJob(env, script);
    QVERIFY(!settings.input.isEmpty());

    const JobRun run(settings);
    QVERIFY(run.ended);
    QCOMPARE(run.result.outcome, JobResult::Finished);
    QCOMPARE(run.result.exitCode, 0);
    QVERIFY2(run.messages.filter(QStringLiteral("is still open for writing by process")).size() == 1,
             qPrintable(run.messages.join('\n')));
    // The child's second copy reaches the file the job left in place.
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(settings.output).size() == 2 * tiny.size(); }, 15000));
    QCOMPARE(TestSupport::readFile(settings.output), tiny + tiny);
}

void EncodeJobTest::guardedFiles_refusedBeforeAnythingChanges_data()
{
    QTest::addColumn<QString>("outputName");   // typed into the output field
    QTest::addColumn<QString>("encoderName");  // typed into the encoder field
    QTest::addColumn<QString>("role");
    QTest::newRow("the input") << "input clip.nut" << "fake encoder/enc.sh" << "input file";
    QTest::newRow("the input through a link") << "clip link.265" << "fake encoder/enc.sh" << "input file";
    QTest::newRow("the configuration") << "my config.cfg" << "fake encoder/enc.sh" << "configuration file";
    QTest::newRow("the encoder behind its link") << "fake encoder/enc.sh" << "encoder link" << "encoder program";
    // Hard links: another name for the very same file, which a comparison of paths misses.
    QTest::newRow("the input under a hard link") << "clip hard.265" << "fake encoder/enc.sh" << "input file";
    QTest::newRow("the configuration under a hard link") << "config hard.265" << "fake encoder/enc.sh"
                                                         << "configuration file";
    QTest::newRow("the encoder under a hard link") << "encoder hard.265" << "fake encoder/enc.sh"
                                                   << "encoder program";
}

void EncodeJobTest::guardedFiles_refusedBeforeAnythingChanges()
{
    QFETCH(QString, outputName);
    QFETCH(QString, encoderName);
    QFETCH(QString, role);

    JobFixture job;
    QVERIFY(job.prepare(8));
    QVERIFY(TestSupport::writeFile(job.env.filePath("my config.cfg"), "QP : 32\n"));
    QVERIFY(QFile::link(job.clip, job.env.filePath("clip link.265")));
    QVERIFY(QFile::link(job.encoderDir + "/enc.sh", job.env.filePath("encoder link")));
    const auto hardLink = [&](const QString &target, const char *name) {
        return ::link(QFile::encodeName(target).constData(), QFile::encodeName(job.env.filePath(name)).constData()) == 0;
    };
    QVERIFY(hardLink(job.clip, "clip hard.265"));
    QVERIFY(hardLink(job.env.filePath("my config.cfg"), "config hard.265"));
    QVERIFY(hardLink(job.encoderDir + "/enc.sh", "encoder hard.265"));
    const QString output = job.env.filePath(outputName);
    const QByteArray before = TestSupport::readFile(output);
    QVERIFY(!before.isEmpty());

    job.window.outputEdit->clear();
    QTest::keyClicks(job.window.outputEdit, output);
    job.window.encoderEdit->clear();
    QTest::keyClicks(job.window.encoderEdit, job.env.filePath(encoderName));
    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("Encoding error")));
    const QString text = job.box(QStringLiteral("Encoding error")).text;
    QVERIFY2(text.contains(output) && text.contains(role), qPrintable(text));
    QVERIFY(job.idle());
    QCOMPARE(job.answerer.count(QStringLiteral("Cmdline")), 0);
    QVERIFY(job.arguments().isEmpty());
    QCOMPARE(TestSupport::readFile(output), before);
    QVERIFY(job.tempEntries().isEmpty());
}

void EncodeJobTest::talkativeEncoder_logStaysBoundedAndDoneArrives()
{
    JobFixture job;
    QVERIFY(job.prepare(3));
    const QString script = job.env.filePath(QStringLiteral("talkative.sh"));
    QVERIFY(TestSupport::writeScript(script, "#!/bin/sh\n"
                                           "awk 'BEGIN { for (i = 0; i < 200000; i++) printf \"POC %6d "
                                           "an encoder that has a lot to say about every picture\\n\", i }'\n"
                                           "exit 3\n"));
    job.window.encoderEdit->setText(script);

    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("Done"), 120000));
    QCOMPARE(job.lastText(), QStringLiteral("Encoding done(3)."));
    const QTextDocument *log = job.window.logView->document();
    QVERIFY2(log->blockCount() <= 10002, qPrintable(QString::number(log->blockCount())));
    // The newest output is all there, with one line saying how much older output was left out.
    const QRegularExpressionMatch note = QRegularExpression(QStringLiteral("^\\[(\\d+) earlier lines"))
                                             .match(log->firstBlock().text());
    QVERIFY2(note.hasMatch(), qPrintable(log->firstBlock().text()));
    const QStringList lines = job.window.logView->toPlainText().split('\n');
    QVERIFY(lines.filter(QStringLiteral("POC 199999 ")).size() == 1);
    const int shownFrom = lines.at(1).mid(4, 6).trimmed().toInt();
    // Left out: every line before the first one shown (the first POC line follows the
    // command line on its line).
    QCOMPARE(note.captured(1).toInt(), shownFrom);
}

void EncodeJobTest::missingTemporaryFolder_isNamedAndNothingWritten()
{
    JobFixture job;
    QVERIFY(job.prepare(8));
    const QString missing = job.env.filePath(QStringLiteral("no such temp"));
    qputenv("TMPDIR", QFile::encodeName(missing));
    const QStringList before = QDir(job.env.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const QStringList programFolder = QDir(QCoreApplication::applicationDirPath()).entryList(QDir::Files);

    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.answerer.waitForTitle(QStringLiteral("Encoding error")));
    qputenv("TMPDIR", QFile::encodeName(job.env.tempPath()));
    const QString text = job.box(QStringLiteral("Encoding error")).text;
    QVERIFY2(text.contains(missing) && text.contains(QStringLiteral("No such folder")), qPrintable(text));
    QVERIFY(job.idle());
    QCOMPARE(job.answerer.count(QStringLiteral("Cmdline")), 0);
    QCOMPARE(QDir(job.env.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QCOMPARE(QDir(QCoreApplication::applicationDirPath()).entryList(QDir::Files), programFolder);
}

// A job killed outright before it opened its end of the picture pipe leaves whatever waits in
// the pipe's open (an encoder's helper the kill did not reach) waiting for ever. The next job
// lets it go with the end of its input, then removes the killed job's folder.
void EncodeJobTest::killedJobsPipe_readerLetGoByTheNextJob()
{
    JobFixture job;
    QVERIFY(job.prepare(4));
    const qint64 endedPid = TestSupport::run("sh", {"-c", "echo $$"}).out.trimmed().toLongLong();
    QVERIFY(endedPid > 0 && !TestSupport::processAlive(endedPid));
    const QString abandoned = job.env.tempPath() + QStringLiteral("/morlunex-%1-aB3dE6").arg(endedPid);
    QVERIFY(QDir().mkpath(abandoned));
    const QString pipe = abandoned + QStringLiteral("/mlxtmp_40x30.420");
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QProcess reader;
    reader.start(QStringLiteral("cat"), {pipe});
    QVERIFY(reader.waitForStarted(10000));
    QVERIFY(!reader.waitForFinished(300));

    job.release();
    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.finished());
    QVERIFY(QTest::qWaitFor([&] { return reader.state() == QProcess::NotRunning; }, 10000));
    QCOMPARE(reader.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(abandoned));
    QVERIFY(job.idle());
    QVERIFY(job.tempEntries().isEmpty());
}

void EncodeJobTest::wrapperEncoder_growingFileEndsWithoutWaiting()
{
    const QString encoder = TestSupport::binDir() + QStringLiteral("/TAppEncoder_hm80.exe");
    if (!QFile::exists(encoder))
        QSKIP("the bundled encoder is not built");
    JobFixture job;
    qputenv("MORLUNEX_FRAME_TRANSPORT", "file");
    QVERIFY(job.prepare(8, QStringLiteral("64x48")));
    // A shell that stays the encoder's parent: had it inherited the frame file's write handle,
    // the encoder would wait for that writer until its quiet period ran out.
    const QString wrapper = job.env.filePath(QStringLiteral("wrapper.sh"));
    QVERIFY(TestSupport::writeScript(wrapper, "#!/bin/sh\n\"" + QFile::encodeName(encoder) + "\" \"$@\"\nexit $?\n"));
    job.window.encoderEdit->setText(wrapper);
    job.window.cfgEdit->setText(TestSupport::binDir() + QStringLiteral("/hevczent.cfg"));
    job.window.outputEdit->setText(job.env.filePath(QStringLiteral("wrapped.265")));

    QTest::mouseClick(job.window.encodeButton, Qt::LeftButton);
    QVERIFY(job.finished());
    qunsetenv("MORLUNEX_FRAME_TRANSPORT");
    QCOMPARE(job.lastText(), QStringLiteral("Encoding done(0)."));
    const QString log = job.window.logView->toPlainText();
    QVERIFY2(!log.contains(QStringLiteral("did not grow")), qPrintable(log.right(300)));
    QCOMPARE(TestSupport::probeVideo(job.window.outputEdit->text()).frames, 8);
}

void EncodeJobTest::namedPipeInput_streamsAndStops_data()
{
    QTest::addColumn<bool>("writer");
    QTest::newRow("another program writes video into it") << true;
    QTest::newRow("nobody writes, the user stops") << false;
}

void EncodeJobTest::namedPipeInput_streamsAndStops()
{
    QFETCH(bool, writer);
    const QString encoder = TestSupport::binDir() + QStringLiteral("/TAppEncoder_hm80.exe");
    if (!QFile::exists(encoder))
        QSKIP("the bundled encoder is not built");
    IsolatedEnvironment env;
    JobSettings settings;
    settings.input = env.filePath(QStringLiteral("live.nut"));
    QCOMPARE(::mkfifo(QFile::encodeName(settings.input).constData(), 0600), 0);
    settings.encoder = encoder;
    settings.config = TestSupport::binDir() + QStringLiteral("/hevczent.cfg");
    settings.output = env.filePath(QStringLiteral("out.265"));

    QProcess producer;
    if (writer) {
        producer.start(QStringLiteral("ffmpeg"), {"-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                                  "testsrc2=size=64x48:rate=25", "-frames:v", "12", "-c:v",
                                                  "ffv1", "-f", "nut", "-y", settings.input});
        QVERIFY(producer.waitForStarted());
    }
    TranscodeJob job;
    JobResult result;
    bool ended = false;
    QObject::connect(&job, &TranscodeJob::finished, [&](const JobResult &end) {
        result = end;
        ended = true;
    });
    job.start(settings);
    if (!writer) {
        QTest::qWait(300);
        QVERIFY(!ended);
        job.stop();
    }
    QVERIFY(QTest::qWaitFor([&] { return ended; }, writer ? 60000 : 2000));
    if (writer) {
        QVERIFY2(result.outcome == JobResult::Finished, qPrintable(result.message));
        QVERIFY(producer.state() == QProcess::NotRunning || producer.waitForFinished(10000));
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(TestSupport::probeVideo(settings.output).frames, 12);
    } else {
        QCOMPARE(result.outcome, JobResult::Stopped);
    }
    QVERIFY(QDir(env.tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

void EncodeJobTest::pictureFormat_isWhatTheConfigurationAsks_data()
{
    QTest::addColumn<QString>("sourceFormat");   // the clip's pixel format
    QTest::addColumn<QByteArray>("config");      // empty: the shipped hevczent.cfg
    QTest::addColumn<QString>("toolFormat");     // the tool's raw format holding the same samples
    QTest::addColumn<int>("dx");
    QTest::addColumn<int>("dy");
    QTest::addColumn<int>("sampleBytes");
    QTest::addColumn<bool>("chroma");
    QTest::addColumn<QString>("hint");

    const QString lostBits = QStringLiteral("The input has 10-bit pictures; the configuration asks for 8 bits "
                                            "(hevczent10.cfg keeps all 10).");
    QTest::newRow("hevczent.cfg: 8-bit 4:2:0, as always")
        << "yuv420p10le" << QByteArray() << "yuv420p" << 2 << 2 << 1 << true << lostBits;
    QTest::newRow("10-bit 4:2:0")
        << "yuv420p10le" << QByteArray("InputBitDepth : 10\nInputChromaFormat : 420\n") << "yuv420p10le"
        << 2 << 2 << 2 << true << "";
    QTest::newRow("8-bit 4:2:2 from 10-bit 4:4:4")
        << "yuv444p10le" << QByteArray("InputBitDepth : 8   # comment\nInputChromaFormat : 422\n") << "yuv422p"
        << 2 << 1 << 1 << true << lostBits;
    QTest::newRow("10-bit 4:4:4 scaled up from 8-bit 4:2:0, the last line winning")
        << "yuv420p" << QByteArray("InputBitDepth : 8\nInputChromaFormat : 420\nInputBitDepth : 10\nInputChromaFormat:444\n")
        << "yuv444p10le" << 1 << 1 << 2 << true << "";
    QTest::newRow("12-bit 4:0:0")
        << "yuv420p10le" << QByteArray("InputBitDepth : 12\nInputChromaFormat : 400\n") << "yuv420p12le"
        << 2 << 2 << 2 << false << "";
}

// A scripted encoder copies what it is handed: the pictures of an odd-sized clip in the layout
// the configuration names, byte for byte the ffmpeg tool's own conversion, padded.
void EncodeJobTest::pictureFormat_isWhatTheConfigurationAsks()
{
    QFETCH(QString, sourceFormat);
    QFETCH(QByteArray, config);
    QFETCH(QString, toolFormat);
    QFETCH(int, dx);
    QFETCH(int, dy);
    QFETCH(int, sampleBytes);
    QFETCH(bool, chroma);
    QFETCH(QString, hint);

    IsolatedEnvironment env;
    const QString encoderDir = env.filePath(QStringLiteral("fake encoder"));
    JobSettings settings;
    settings.encoder = encoderDir + QStringLiteral("/enc.sh");
    QVERIFY(TestSupport::writeScript(settings.encoder, fakeEncoderScript));
    QVERIFY(TestSupport::writeFile(encoderDir + QStringLiteral("/go"), QByteArray()));
    settings.input = env.filePath(QStringLiteral("clip.nut"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=175x99:rate=10", "-frames:v", "3",
                                 "-c:v", "ffv1", "-pix_fmt", sourceFormat, settings.input}));
    settings.config = env.filePath(QStringLiteral("job.cfg"));
    QVERIFY(TestSupport::writeFile(settings.config, config.isEmpty()
                                   ? TestSupport::readFile(TestSupport::binDir() + QStringLiteral("/hevczent.cfg"))
                                   : config));
    settings.output = env.filePath(QStringLiteral("out.265"));

    const JobRun run(settings);
    QVERIFY(run.ended);
    QCOMPARE(run.result.outcome, JobResult::Finished);
    QCOMPARE(run.result.pictures, 3);
    const QStringList arguments = QString::fromUtf8(TestSupport::readFile(encoderDir + "/args.txt")).split('\n');
    QCOMPARE(arguments.mid(6, 4), QStringList({"-wdt", "176", "-hgt", "112"}));
    QVERIFY2(arguments.at(3).endsWith(QStringLiteral("/mlxtmp_176x112.420")), qPrintable(arguments.at(3)));
    QCOMPARE(run.messages.filter(QStringLiteral("The input has")), hint.isEmpty() ? QStringList() : QStringList{hint});

    const QString raw = env.filePath(QStringLiteral("tool.raw"));
    QVERIFY(TestSupport::ffmpeg({"-i", settings.input, "-f", "rawvideo", "-pix_fmt", toolFormat, raw}));
    const QByteArray expected = TestSupport::padFrames(TestSupport::readFile(raw), 175, 99, dx, dy, sampleBytes, chroma);
    QCOMPARE(expected.size(), 3 * (176 * 112 + (chroma ? 2 * (176 / dx) * (112 / dy) : 0)) * sampleBytes);
    QVERIFY(TestSupport::readFile(encoderDir + "/copy.raw") == expected);
}

void EncodeJobTest::highBitDepth_keepsDetailAndHdr_data()
{
    QTest::addColumn<QString>("encoder");        // empty: the reference encoder
    QTest::addColumn<QString>("config");         // a shipped configuration
    QTest::addColumn<QByteArray>("extraKeys");   // appended to it
    QTest::addColumn<QStringList>("coding");     // the ffmpeg tool's options making the clip
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("profile");
    QTest::addColumn<QString>("pixelFormat");

    const QStringList hdr10 = {"-pix_fmt", "yuv420p10le", "-c:v", "libx265", "-preset", "ultrafast",
                               "-x265-params", hdr10Params + ":qp=12", "-f", "mp4"};
    const QStringList ffv1444 = {"-pix_fmt", "yuv444p10le", "-c:v", "ffv1", "-f", "nut"};
    const QString bundled = QStringLiteral("TAppEncoder_hm80.exe");
    // A short intra period: several random-access pictures, each of which must carry the SEI.
    QTest::newRow("bundled encoder, HDR10 in Main 10")
        << bundled << "hevczent10.cfg" << QByteArray("IntraPeriod : 4\n") << hdr10 << QSize(176, 144) << 10
        << "Main 10" << "yuv420p10le";
    QTest::newRow("bundled encoder, 4:4:4 10-bit of an odd size shown exactly")
        << bundled << "hevczent10_444.cfg" << QByteArray("IntraPeriod : 4\n") << ffv1444 << QSize(175, 99) << 10
        << "Rext" << "yuv444p10le";
    // The reference encoder writes a hash of every picture, which its decoder checks after the
    // rewrite has added the SEI.
    QTest::newRow("reference encoder, HDR10 in Main 10")
        << QString() << "hevczent10.cfg" << QByteArray("SEIDecodedPictureHash : 1\n") << hdr10 << QSize(176, 144)
        << 8 << "Main 10" << "yuv420p10le";
    QTest::newRow("reference encoder, 4:4:4 10-bit")
        << QString() << "hevczent10_444.cfg" << QByteArray("SEIDecodedPictureHash : 1\n") << ffv1444
        << QSize(175, 99) << 8 << "Rext" << "yuv444p10le";
}

// A 10-bit gradient through the whole job: the output is coded at 10 bits from the input's own
// samples (most of its decoded samples lie between the steps of 8 bits), shown at the input's
// size, and an HDR10 input's mastering display and light level reach every random-access
// picture.
void EncodeJobTest::highBitDepth_keepsDetailAndHdr()
{
    QFETCH(QString, encoder);
    QFETCH(QString, config);
    QFETCH(QByteArray, extraKeys);
    QFETCH(QStringList, coding);
    QFETCH(QSize, size);
    QFETCH(int, frames);
    QFETCH(QString, profile);
    QFETCH(QString, pixelFormat);

    const bool reference = encoder.isEmpty();
    encoder = reference ? TestSupport::referenceTool(QStringLiteral("TAppEncoder"))
                        : TestSupport::binDir() + QLatin1Char('/') + encoder;
    if (encoder.isEmpty() || (reference && TestSupport::referenceTool(QStringLiteral("TAppDecoder")).isEmpty()))
        QSKIP("the reference encoder and decoder are not there (MORLUNEX_REFERENCE_BIN, or "
              "../shared/testdata/reference-encoder/bin)");
    IsolatedEnvironment env;
    JobSettings settings;
    settings.encoder = encoder;
    settings.input = env.filePath(QStringLiteral("gradient"));
    const QString gradient = QStringLiteral("nullsrc=size=%1x%2:rate=25,format=%3,"
                                            "geq=lum='64+876*X/W+3*N':cb='512+200*Y/H':cr='400+200*X/W'")
                                 .arg(size.width()).arg(size.height()).arg(pixelFormat);
    QVERIFY(TestSupport::ffmpeg(QStringList{"-f", "lavfi", "-i", gradient, "-frames:v", QString::number(frames)}
                                + coding + QStringList{settings.input}));
    settings.config = env.filePath(QStringLiteral("job.cfg"));
    QVERIFY(TestSupport::writeFile(settings.config,
                                   TestSupport::readFile(TestSupport::binDir() + QLatin1Char('/') + config) + extraKeys));
    settings.output = env.filePath(QStringLiteral("out.265"));

    const JobRun run(settings);
    QVERIFY(run.ended);
    QCOMPARE(run.result.outcome, JobResult::Finished);
    QCOMPARE(run.result.exitCode, 0);
    const QJsonObject stream = probeStream(settings.output);
    QCOMPARE(stream.value("profile").toString(), profile);
    QCOMPARE(stream.value("pix_fmt").toString(), pixelFormat);
    QCOMPARE(QSize(stream.value("width").toInt(), stream.value("height").toInt()), size);
    QCOMPARE(stream.value("nb_read_frames").toString().toInt(), frames);

    const QString decoded = env.filePath(QStringLiteral("decoded.raw"));
    QVERIFY(TestSupport::ffmpeg({"-i", settings.output, "-f", "rawvideo", "-pix_fmt", pixelFormat, decoded}));
    const QByteArray samples = TestSupport::readFile(decoded).left(size.width() * size.height() * 2);
    QCOMPARE(samples.size(), size.width() * size.height() * 2);
    int offGrid = 0;
    for (qsizetype at = 0; at < samples.size(); at += 2)
        offGrid += (uchar(samples.at(at)) & 3) != 0;
    QVERIFY2(offGrid > size.width() * size.height() / 2, qPrintable(QString::number(offGrid)));

    const bool hdr = coding.contains(QStringLiteral("libx265"));
    const QStringList frame = TestSupport::firstFrame(settings.output);
    for (const QString &value : hdr10Probed)
        QVERIFY2(frame.contains(value) == hdr, qPrintable(value + '\n' + frame.join('\n')));
    if (hdr) {
        QVERIFY(frame.contains(QStringLiteral("color_transfer=smpte2084")));
        QVERIFY(frame.contains(QStringLiteral("color_primaries=bt2020")));
    }
    const TestSupport::HdrSeiCount sei = TestSupport::countHdrSei(TestSupport::readFile(settings.output));
    QCOMPARE(sei.irapPictures, reference ? 1 : 3);
    QCOMPARE(sei.masteringDisplay, hdr ? sei.irapPictures : 0);
    QCOMPARE(sei.lightLevel, hdr ? sei.irapPictures : 0);

    if (reference) {
        const TestSupport::HashCheck check = TestSupport::referenceHashCheck(settings.output);
        QCOMPARE(check.pictures, frames);
        QVERIFY2(check.matched == frames && check.mismatched == 0, qPrintable(check.tail));
    }
}

// What a job hands back says how it ended without its warnings: a failing encoder, pictures
// that never reached the encoder (in one piece and in segments), and a job that only joins
// another's work whose parts are gone.
void EncodeJobTest::jobResult_holdsItsWholeVerdict()
{
    const QString bundled = TestSupport::binDir() + QStringLiteral("/TAppEncoder_hm80.exe");
    if (!QFile::exists(bundled))
        QSKIP("the bundled encoder is not built");
    IsolatedEnvironment env;
    const QString script = env.filePath(QStringLiteral("enc.sh"));
    const QString ran = env.filePath(QStringLiteral("ran"));
    QVERIFY(TestSupport::writeScript(script, QStringLiteral("#!/bin/sh\ntouch '%1'\n"
                                                            "while [ \"$1\" != -i ]; do shift; done\n"
                                                            "cat \"$2\" > /dev/null\nexit 3\n").arg(ran).toUtf8()));
    JobSettings settings = scriptedJob(env, script);
    QVERIFY(!settings.input.isEmpty());

    const JobRun failing(settings);
    QVERIFY(failing.ended);
    JobVerdict verdict = JobVerdict::of(failing.result);
    QCOMPARE(verdict.kind, JobVerdict::EncoderFailed);
    QCOMPARE(verdict.encoderStatus, 3);
    QCOMPARE(verdict.reason, QStringLiteral("the encoder exited with code 3"));
    QVERIFY(QFile::remove(ran));

    // Pictures of another size after the eighth: the encoder gets eight of the twelve.
    const QString first = env.filePath(QStringLiteral("first.h264"));
    const QString second = env.filePath(QStringLiteral("second.h264"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=40x30:rate=10", "-frames:v", "8",
                                 "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "h264", first}));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-frames:v", "4",
                                 "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "h264", second}));
    JobSettings cut = settings;
    cut.input = env.filePath(QStringLiteral("joined.h264"));
    QVERIFY(TestSupport::writeFile(cut.input, TestSupport::readFile(first) + TestSupport::readFile(second)));
    cut.encoder = bundled;
    cut.config = TestSupport::binDir() + QStringLiteral("/hevczent.cfg");
    const JobRun missing(cut);
    QVERIFY(missing.ended);
    verdict = JobVerdict::of(missing.result);
    QCOMPARE(verdict.kind, JobVerdict::PicturesMissing);
    QCOMPARE(missing.result.pictures, 8);
    QVERIFY2(missing.result.picturesMissing.contains(QStringLiteral("changes from 40x30 to 64x48")),
             qPrintable(missing.result.picturesMissing));
    QCOMPARE(TestSupport::probeVideo(cut.output).frames, 8);
    QVERIFY(QFile::remove(cut.output));

    // The same in segments: the feed of the segment where the size changes tells the job.
    JobSettings cutInSegments = cut;
    cutInSegments.inSegments = true;
    cutInSegments.parallelEncoders = 2;
    cutInSegments.segmentLength = 6;
    const JobRun segmentMissing(cutInSegments);
    QVERIFY(segmentMissing.ended);
    QCOMPARE(JobVerdict::of(segmentMissing.result).kind, JobVerdict::PicturesMissing);
    QCOMPARE(segmentMissing.result.pictures, 8);
    QVERIFY2(segmentMissing.result.picturesMissing.contains(QStringLiteral("changes from 40x30 to 64x48 after 2")),
             qPrintable(segmentMissing.result.picturesMissing));
    QCOMPARE(TestSupport::probeVideo(cut.output).frames, 8);
    QVERIFY(QFile::remove(cut.output));

    // Joining only: with no parts folder there is nothing to join, and nothing is started afresh.
    JobSettings join = settings;
    join.inSegments = true;
    join.parallelEncoders = 2;
    join.joinOnly = true;
    const JobRun joining(join);
    QVERIFY(joining.ended);
    QCOMPARE(JobVerdict::of(joining.result).kind, JobVerdict::Elsewhere);
    QVERIFY(!QFile::exists(ran));
    QVERIFY(!QFile::exists(join.output));
    QVERIFY(!QFileInfo::exists(join.output + QStringLiteral(".parts")));
}

void EncodeJobTest::hangingEncoder_isToldWhereInputEndsAndEnded_data()
{
    QTest::addColumn<bool>("raw");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<int>("told");   // the FramesToBeEncoded the encoder's configuration must hold

    // Its own file says 65 pictures, as the stock files with the source keys added often do.
    QTest::newRow("video, one piece, no count in its container") << false << qint64(0) << qint64(-1) << 5;
    QTest::newRow("video, a stretch") << false << qint64(1) << qint64(3) << 3;
    QTest::newRow("raw by its path") << true << qint64(0) << qint64(-1) << 5;
    QTest::newRow("raw, the last stretch past its end") << true << qint64(2) << qint64(33) << 3;
}

// An encoder that never ends once its input ends before the pictures it was told of: the copy
// of the configuration it is given says exactly how many it gets, and when it still hangs after
// its last output, the run ends it with a clear verdict and the log says why.
void EncodeJobTest::hangingEncoder_isToldWhereInputEndsAndEnded()
{
    QFETCH(bool, raw);
    QFETCH(qint64, start);
    QFETCH(qint64, limit);
    QFETCH(int, told);

    IsolatedEnvironment env;
    const QString dir = env.filePath(QStringLiteral("hanging encoder"));
    JobSettings settings;
    settings.encoder = dir + QStringLiteral("/EncoderApp.sh");
    // Keeps the configuration it was given, reads its input to the end, writes its bitstream
    // and a picture line, then waits for ever in its own process (so a terminate ends it).
    QVERIFY(TestSupport::writeScript(settings.encoder, R"(#!/bin/sh
dir=$(dirname "$0")
prev=""
for a in "$@"; do
  [ "$prev" = "-c" ] && cp "$a" "$dir/given.cfg"
  [ "$prev" = "-i" ] && input=$a
  [ "$prev" = "-b" ] && output=$a
  prev=$a
done
echo $$ > "$dir/pid.txt"
cat "$input" > /dev/null
cp "$dir/stream.265" "$output"
echo "POC    0 TId: 0 ( I-SLICE, nQP 32 QP 32 )       100 bits [Y 40.0000 dB    U 42.0000 dB    V 42.0000 dB]"
exec sleep 300
)"));
    QVERIFY(TestSupport::writeTinyStream(dir + QStringLiteral("/stream.265")));
    settings.config = env.filePath(QStringLiteral("ra.cfg"));
    QVERIFY(TestSupport::writeFile(settings.config, "FrameRate : 10\nFramesToBeEncoded : 65\nQP : 37\n"));
    settings.output = env.filePath(QStringLiteral("out.266"));
    if (raw) {
        settings.input = env.filePath(QStringLiteral("clip.yuv"));
        QVERIFY(TestSupport::writeFile(settings.input, QByteArray(5 * 16 * 16 * 3 / 2, '\x80')));
        settings.rawWidth = settings.rawHeight = 16;
        settings.rawFps = 10;
    } else {
        settings.input = env.filePath(QStringLiteral("clip.nut"));
        QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=32x32:rate=10", "-frames:v", "5", "-c:v",
                                     "ffv1", settings.input}));
    }
    settings.startPicture = start;
    settings.pictureLimit = limit;
    qputenv("MORLUNEX_STALL_TIMEOUT", "1");
    const auto unset = qScopeGuard([] { qunsetenv("MORLUNEX_STALL_TIMEOUT"); });

    const JobRun run(settings);
    QVERIFY(run.ended);
    EncoderConfigFile given;
    QVERIFY(given.read(dir + QStringLiteral("/given.cfg")));
    QCOMPARE(given.intValue(QStringLiteral("FramesToBeEncoded"), 0), told);
    QCOMPARE(given.intValue(QStringLiteral("QP"), 0), 37);

    QCOMPARE(run.result.outcome, JobResult::Failed);
    QCOMPARE(run.result.failure, JobResult::EncoderStalled);
    const JobVerdict verdict = JobVerdict::of(run.result);
    QVERIFY2(verdict.reason.contains(QStringLiteral("wrote nothing")), qPrintable(verdict.reason));
    QCOMPARE(run.messages.filter(QStringLiteral("then wrote nothing for")).size(), 1);
    QVERIFY(!TestSupport::processAlive(TestSupport::readFile(dir + QStringLiteral("/pid.txt")).trimmed().toLongLong()));
    // What the encoder wrote is kept, as for any run that failed, and its line reported.
    QCOMPARE(run.result.report.rows().size(), 1);
    QVERIFY(QFileInfo::exists(run.result.keptAs.isEmpty() ? settings.output : run.result.keptAs));
}


int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    EncodeJobTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_encodejob.moc"
