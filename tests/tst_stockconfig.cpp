// The reference encoder's own configuration files, as users start from them: its stock
// random-access file, whose temporal filter reads the input a second time by name and whose
// ReconFile writes a reconstructed copy, runs to every picture in one piece and in segments,
// each picture checked by the reference decoder's hashes, and leaves its relative ReconFile
// nowhere; an absolute ReconFile is the decoder's pictures, and never written by two jobs; an encoder seen opening the pipe a
// second time is rerouted through a complete file; the file route refuses a temporary folder
// without room for it; a stock file without its source keys gets a hint; the window shows the
// preparing step and keeps its reason in the log.

#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "support/testwindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <sys/file.h>

using TestSupport::IsolatedEnvironment;
using TestSupport::everythingIn;

namespace {

constexpr int width = 176, height = 144, pictures = 16;
constexpr qint64 pictureBytes = width * height * 3 / 2;

QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

QString stockFile(const QString &name)
{
    return QStringLiteral(MORLUNEX_TESTDATA_DIR "/reference-encoder/") + name;
}

// A stand-in encoder that opens its -i input twice, in one of two ways, and otherwise reads it
// to its end into copy.raw and writes a small real bitstream: "after" reads it to the end and
// then opens it again (on a pipe that open waits for a writer for ever); "together" keeps two
// opens of it at once while it works. It records each run's arguments and touches "reopening"
// just before the second open.
const char twiceReader[] = R"sh(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/runs.txt"
input=""; output=""; prev=""
for a in "$@"; do [ "$prev" = "-i" ] && input=$a; [ "$prev" = "-b" ] && output=$a; prev=$a; done
if [ "$(cat "$dir/mode")" = after ]; then
    cat "$input" > /dev/null
    touch "$dir/reopening"
    cat "$input" > "$dir/copy.raw"
else
    exec 3<"$input"
    touch "$dir/reopening"
    exec 4<"$input"
    sleep 1
    cat <&4 > "$dir/copy.raw"
fi
cp "$dir/stream.265" "$output"
)sh";

} // namespace

class StockConfigTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stockRandomAccess_onePiece_everyPictureAndNoReconLeft();
    void absoluteReconFile_isTheDecodedPicturesAndHasOneWriter();
    void stockRandomAccess_twoSegments_everyPictureAndNoReconLeft();
    void stockFileWithoutSourceKeys_hintNamesThem();
    void encoderOpeningItsInputTwice_isRerouted_data();
    void encoderOpeningItsInputTwice_isRerouted();
    void completeFileWithoutRoom_isRefusedWithBothSizes();
    void window_showsThePreparingStepAndKeepsItsReason();

private:
    // The reference encoder, or a skip when it or its decoder or stock files are not there.
    bool haveReference();

    IsolatedEnvironment shared;
    QString clip;
    QString encoder;
};

void StockConfigTest::initTestCase()
{
    clip = shared.filePath(QStringLiteral("clip.mp4"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", QStringLiteral("testsrc2=size=%1x%2:rate=25").arg(width).arg(height),
                                 "-frames:v", QString::number(pictures), "-c:v", "libx264", "-g", "8",
                                 "-pix_fmt", "yuv420p", clip}));
    encoder = TestSupport::referenceTool(QStringLiteral("TAppEncoder"));
}

bool StockConfigTest::haveReference()
{
    return !encoder.isEmpty() && !TestSupport::referenceTool(QStringLiteral("TAppDecoder")).isEmpty()
        && QFileInfo::exists(stockFile(QStringLiteral("encoder_randomaccess_main.cfg")));
}

// The stock random-access file with the five source keys every per-sequence file adds in front,
// and the decoded pictures' hashes asked for at the end.
static bool writeStockConfig(const QString &path)
{
    const QByteArray stock = TestSupport::readFile(stockFile(QStringLiteral("encoder_randomaccess_main.cfg")));
    return !stock.isEmpty()
        && TestSupport::writeFile(path, "FrameRate : 25\nFramesToBeEncoded : 1000000\nInputBitDepth : 8\n"
                                        "InputChromaFormat : 420\nFrameSkip : 0\n"
                                        + stock + "SEIDecodedPictureHash : 1\n");
}

// One piece, run from another folder than the output's: every picture is there and decodes to
// the hashes the encoder wrote; the relative ReconFile lands neither in the folder the job was
// started from nor beside the output, and the log says how to keep it; the progress showed the
// preparing step.
void StockConfigTest::stockRandomAccess_onePiece_everyPictureAndNoReconLeft()
{
    if (!haveReference())
        QSKIP("The reference encoder, its decoder or its stock files are not there (MORLUNEX_REFERENCE_BIN)");
    IsolatedEnvironment env;
    const QString here = env.filePath(QStringLiteral("here"));
    const QString out = env.filePath(QStringLiteral("out dir"));
    QVERIFY(QDir().mkpath(here) && QDir().mkpath(out));
    QVERIFY(writeStockConfig(here + QStringLiteral("/ra.cfg")));

    const TestSupport::RunResult run = TestSupport::run(
        cliProgram(), {clip, "-e", encoder, "-c", "ra.cfg", "-o", out + "/out.265", "--progress", "json"}, 180000, here);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains("The configuration turns on TemporalFilter, which reads the input twice: the pictures "
                              "go through a 608 kB file in "),
             run.err.constData());
    QVERIFY2(run.err.count(QStringLiteral("The configuration's ReconFile rec.yuv is a relative name: the encoder runs "
                                          "in a temporary folder of its own, where that name leads to /dev/null")
                               .toUtf8()) == 1
                 && run.err.contains(QStringLiteral("To keep them, give ReconFile an absolute path, e.g. \"ReconFile "
                                                    ": %1/rec.yuv\".").arg(out).toUtf8()),
             run.err.constData());
    QVERIFY2(run.err.contains("\"preparing\":true"), run.err.constData());

    const TestSupport::HashCheck check = TestSupport::referenceHashCheck(out + "/out.265");
    QVERIFY2(check.pictures == pictures && check.matched == pictures && check.mismatched == 0, qPrintable(check.tail));
    QCOMPARE(everythingIn(out), QStringList{"out.265"});
    QCOMPARE(everythingIn(here), QStringList{"ra.cfg"});
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// An absolute ReconFile in one piece holds what the decoder makes of the output, picture for
// picture. While another holds it (a lock taken here stands for another job's encoder), a job
// leaves it as it is, says why, and still encodes every picture; a file it made only to claim
// it goes when its encoder never starts.
void StockConfigTest::absoluteReconFile_isTheDecodedPicturesAndHasOneWriter()
{
    if (!haveReference())
        QSKIP("The reference encoder, its decoder or its stock files are not there (MORLUNEX_REFERENCE_BIN)");
    IsolatedEnvironment env;
    const QString recon = env.filePath(QStringLiteral("kept/rec.yuv"));
    QVERIFY(QDir().mkpath(env.filePath(QStringLiteral("kept"))));
    QVERIFY(writeStockConfig(env.filePath(QStringLiteral("ra.cfg"))));
    QVERIFY(TestSupport::writeFile(env.filePath(QStringLiteral("abs.cfg")),
                                   TestSupport::readFile(env.filePath(QStringLiteral("ra.cfg")))
                                       + "ReconFile : " + QFile::encodeName(recon) + '\n'));

    TestSupport::RunResult run = TestSupport::run(cliProgram(), {clip, "-e", encoder, "-c", "abs.cfg", "-o", "out.265"},
                                                  180000, env.path());
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains(QStringLiteral("ReconFile has the encoder write a reconstructed copy of every picture "
                                             "to %1: 16 pictures of 38016 bytes").arg(recon).toUtf8()),
             run.err.constData());
    const TestSupport::RunResult decode = TestSupport::run(
        TestSupport::referenceTool(QStringLiteral("TAppDecoder")), {"-b", "out.265", "-o", "decoded.yuv"}, 60000, env.path());
    QVERIFY2(decode.exitCode == 0, decode.out.right(1000).constData());
    QCOMPARE(QFileInfo(recon).size(), pictures * pictureBytes);
    QVERIFY(TestSupport::readFile(recon) == TestSupport::readFile(env.filePath(QStringLiteral("decoded.yuv"))));

    QVERIFY(TestSupport::writeFile(recon, "another job's"));
    QFile held(recon);
    QVERIFY(held.open(QIODevice::ReadOnly) && ::flock(held.handle(), LOCK_EX | LOCK_NB) == 0);
    run = TestSupport::run(cliProgram(), {clip, "-e", encoder, "-c", "abs.cfg", "-o", "second.265"}, 180000, env.path());
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains(QStringLiteral("The configuration's ReconFile %1 is being written by another job's "
                                             "encoder").arg(recon).toUtf8()),
             run.err.constData());
    QCOMPARE(TestSupport::readFile(recon), QByteArray("another job's"));
    QCOMPARE(TestSupport::referenceHashCheck(env.filePath(QStringLiteral("second.265"))).matched, pictures);
    held.close();

    // An encoder that cannot start (its interpreter is missing): the file made to claim the name
    // goes again.
    QVERIFY(QFile::remove(recon));
    QVERIFY(TestSupport::writeScript(env.filePath(QStringLiteral("broken.sh")), "#!/nonexistent/interpreter\n"));
    run = TestSupport::run(cliProgram(), {clip, "-e", "broken.sh", "-c", "abs.cfg", "-o", "third.265"}, 60000,
                           env.path());
    QVERIFY2(run.finished && run.exitCode != 0, run.err.constData());
    QVERIFY(!QFileInfo::exists(recon));
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// Two segments at once, each through its own complete file: every picture of the joined stream
// decodes to its hash, and no reconstructed copy is left anywhere; the log said once, as in one
// piece, that the relative ReconFile is discarded.
void StockConfigTest::stockRandomAccess_twoSegments_everyPictureAndNoReconLeft()
{
    if (!haveReference())
        QSKIP("The reference encoder, its decoder or its stock files are not there (MORLUNEX_REFERENCE_BIN)");
    IsolatedEnvironment env;
    QVERIFY(writeStockConfig(env.filePath(QStringLiteral("ra.cfg"))));
    const TestSupport::RunResult run = TestSupport::run(
        cliProgram(), {clip, "-e", encoder, "-c", "ra.cfg", "-o", "out.265", "-j", "2", "--segment-length", "8"},
        180000, env.path());
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QCOMPARE(run.err.count("The configuration's ReconFile rec.yuv is a relative name: the encoder runs in a temporary "
                           "folder of its own, where that name leads to /dev/null"), 1);

    const TestSupport::HashCheck check = TestSupport::referenceHashCheck(env.filePath(QStringLiteral("out.265")));
    QVERIFY2(check.pictures == pictures && check.matched == pictures && check.mismatched == 0, qPrintable(check.tail));
    QStringList left = everythingIn(env.path());
    left.removeAll(QStringLiteral("config"));
    left.removeAll(QStringLiteral("tmp"));
    QCOMPARE(left, QStringList({"out.265", "ra.cfg"}));
}

// The stock file as it comes lacks the source keys; the reference encoder refuses it at once,
// and the log names what is missing.
void StockConfigTest::stockFileWithoutSourceKeys_hintNamesThem()
{
    if (!haveReference())
        QSKIP("The reference encoder, its decoder or its stock files are not there (MORLUNEX_REFERENCE_BIN)");
    IsolatedEnvironment env;
    const TestSupport::RunResult run = TestSupport::run(
        cliProgram(), {clip, "-e", encoder, "-c", stockFile(QStringLiteral("encoder_lowdelay_main.cfg")), "-o", "out.265"},
        60000, env.path());
    QVERIFY2(run.finished && run.exitCode == 1, run.err.constData());
    QVERIFY2(run.err.contains("lacks FrameRate, FramesToBeEncoded, InputBitDepth, InputChromaFormat, FrameSkip, "),
             run.err.constData());
    QVERIFY2(run.err.contains("\"FrameRate : 25\""), run.err.constData());
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

void StockConfigTest::encoderOpeningItsInputTwice_isRerouted_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("told");
    QTest::newRow("again after reading it to its end") << "after" << "The encoder waits to open its input a second time";
    QTest::newRow("twice at once") << "together" << "The encoder opened its input a second time";
}

// Through the pipe the second open is seen within a few seconds: the encoder is stopped and the
// job runs again through a complete file, where both opens read every picture; nothing of the
// first try is left running or on disk.
void StockConfigTest::encoderOpeningItsInputTwice_isRerouted()
{
    QFETCH(QString, mode);
    QFETCH(QString, told);
    IsolatedEnvironment env;
    const QString folder = env.filePath(QStringLiteral("encoder"));
    QVERIFY(TestSupport::writeScript(folder + "/twice.sh", twiceReader));
    QVERIFY(TestSupport::writeTinyStream(folder + "/stream.265"));
    QVERIFY(TestSupport::writeFile(folder + "/mode", mode.toUtf8()));
    QVERIFY(TestSupport::writeFile(env.filePath(QStringLiteral("plain.cfg")), "TemporalFilter : 0\n"));
    // More than the pipe holds, so that the job's end is still open at the second open "together".
    const QString input = env.filePath(QStringLiteral("small.nut"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", QStringLiteral("testsrc=size=%1x%2:rate=25").arg(width).arg(height),
                                 "-frames:v", "40", "-c:v", "ffv1", "-pix_fmt", "yuv420p", input}));

    QProcess cli;
    cli.setWorkingDirectory(env.path());
    cli.start(cliProgram(), {input, "-e", folder + "/twice.sh", "-c", "plain.cfg", "-o", "out.265", "--progress", "none"});
    QVERIFY(cli.waitForStarted(10000));
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(folder + "/reopening"); }, 30000));
    QElapsedTimer sinceReopen;
    sinceReopen.start();
    QByteArray err;
    QVERIFY(QTest::qWaitFor([&] { err += cli.readAllStandardError(); return err.contains(told.toUtf8()); }, 5000));
    qInfo("told %lld ms after the second open", sinceReopen.elapsed());
    QVERIFY(cli.waitForFinished(60000));
    err += cli.readAllStandardError();
    QVERIFY2(cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0, err.constData());
    QVERIFY2(err.contains("The encoder reads its input twice: the pictures go through a 1.5 MB file in"), err.constData());

    // Run again with the very same command line, and every picture reached the second read.
    const QList<QByteArray> runs = TestSupport::readFile(folder + "/runs.txt").trimmed().split('\n');
    QCOMPARE(runs.size(), 2);
    QCOMPARE(runs.at(0), runs.at(1));
    const QString raw = env.filePath(QStringLiteral("expected.raw"));
    QVERIFY(TestSupport::ffmpeg({"-i", input, "-f", "rawvideo", "-pix_fmt", "yuv420p", raw}));
    QVERIFY(TestSupport::readFile(folder + "/copy.raw") == TestSupport::readFile(raw));
    QCOMPARE(TestSupport::probeVideo(env.filePath(QStringLiteral("out.265"))).frames, 2);
    QVERIFY(QTest::qWaitFor([&] { return TestSupport::processesMentioning(folder).isEmpty(); }, 5000));
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// An input that declares 250 million pictures cannot go through a complete file: the job
// refuses before the encoder starts, with the room needed and the room there, and suggests
// segments.
void StockConfigTest::completeFileWithoutRoom_isRefusedWithBothSizes()
{
    IsolatedEnvironment env;
    const QString input = env.filePath(QStringLiteral("long.mkv"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", QStringLiteral("testsrc2=size=%1x%2:rate=25").arg(width).arg(height),
                                 "-frames:v", "2", "-vf", "setpts=N*10000000/TB", "-fps_mode", "passthrough",
                                 "-c:v", "libx264", "-pix_fmt", "yuv420p", input}));
    QVERIFY(TestSupport::writeFile(env.filePath(QStringLiteral("filter.cfg")), "TemporalFilter : 1\n"));
    QVERIFY(TestSupport::writeScript(env.filePath(QStringLiteral("enc.sh")), "#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\n"));

    const TestSupport::RunResult run = TestSupport::run(
        cliProgram(), {input, "-e", "enc.sh", "-c", "filter.cfg", "-o", "out.265"}, 60000, env.path());
    QVERIFY2(run.finished && run.exitCode == 75, run.err.constData());
    static const QRegularExpression sizes(QStringLiteral("the 250000001 pictures must go through a file of 9.5 TB "
                                                         "before the encoder starts, and only [0-9.]+ [kMGT]B is free there"));
    QVERIFY2(QString::fromUtf8(run.err).contains(sizes), run.err.constData());
    QVERIFY2(run.err.contains("Cut the job into segments"), run.err.constData());
    QVERIFY(!QFileInfo::exists(env.filePath(QStringLiteral("started"))));
    QVERIFY(!QFileInfo::exists(env.filePath(QStringLiteral("out.265"))));
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// The window while the complete file is written, with the bundled encoder (which ignores the
// filter): the progress says it prepares the pictures, and the line saying why stays in the log
// after the command line, which replaces the log's text.
void StockConfigTest::window_showsThePreparingStepAndKeepsItsReason()
{
    IsolatedEnvironment env;
    QVERIFY(TestSupport::writeFile(env.filePath(QStringLiteral("filter.cfg")),
                                   TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg")
                                       + "TemporalFilter : 1\nMlxPreset : ultrafast\n"));
    TestWindow window;
    ModalAnswerer answerer;
    QString input = clip;
    window.fileOpen(input);
    window.encoderEdit->setText(TestSupport::binDir() + "/morlunex-hevc-encoder");
    window.cfgEdit->setText(env.filePath(QStringLiteral("filter.cfg")));
    window.outputEdit->setText(env.filePath(QStringLiteral("window.265")));
    QStringList labels;
    connect(window.job, &TranscodeJob::progressChanged, &window, [&] { labels << window.progressLabel->text(); });
    window.show();

    QTest::mouseClick(window.encodeButton, Qt::LeftButton);
    QVERIFY(answerer.waitForTitle(QStringLiteral("Done"), 120000));
    QCOMPARE(answerer.shown.last().text, QStringLiteral("Encoding done(0)."));
    QVERIFY2(labels.contains(QStringLiteral("Preparing pictures: 0 / 16")), qPrintable(labels.join('|')));
    const QStringList log = window.logView->toPlainText().split('\n');
    QCOMPARE(log.first(), answerer.shown.first().text);
    QVERIFY2(log.contains(QStringLiteral("The configuration turns on TemporalFilter, which reads the input twice: the "
                                         "pictures go through a 608 kB file in %1 instead of a pipe.")
                              .arg(env.tempPath())),
             qPrintable(log.mid(0, 4).join('\n')));
    QCOMPARE(TestSupport::probeVideo(env.filePath(QStringLiteral("window.265"))).frames, pictures);
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

QTEST_MAIN(StockConfigTest)
#include "tst_stockconfig.moc"
