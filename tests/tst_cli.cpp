// morlunex-cli as a user runs it: real processes on clips made at test time, checked with the
// ffmpeg tool's own output; failures and their exit statuses; a stop by signal; segments
// encoded under GNU parallel and joined; and the decoder's seek to a picture, which must hand
// over exactly what decoding from the start would.

#include "decode/videodecoder.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>

using TestSupport::IsolatedEnvironment;

namespace {

QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

// A clip of the ffmpeg tool's moving test pattern; extra arguments choose codec and container.
bool makeClip(const QString &path, int width, int height, int pictures, const QStringList &codec = {})
{
    return TestSupport::ffmpeg(QStringList{"-f", "lavfi", "-i",
                                           QStringLiteral("testsrc2=size=%1x%2:rate=25").arg(width).arg(height),
                                           "-frames:v", QString::number(pictures)}
                               + (codec.isEmpty() ? QStringList{"-c:v", "libx264", "-pix_fmt", "yuv420p"} : codec)
                               + QStringList{path});
}

// Every picture a fresh decoder hands over after decoderSkipTo(skip), as the encoder's file
// lays them out; the skip's own result in *skipResult.
QList<QByteArray> decodeAfter(const QString &path, qint64 skip, int *skipResult)
{
    QList<QByteArray> pictures;
    VideoDecoder *decoder = decoderCreate();
    decoderForce420(decoder, true);
    *skipResult = decoderOpen(decoder, QFile::encodeName(path).constData());
    if (*skipResult >= 0)
        *skipResult = decoderSkipTo(decoder, skip);
    FrameInfo frame;
    while (*skipResult >= 0 && decoderNextFrame(decoder, &frame) >= 0) {
        QByteArray bytes(frameByteSize(&frame), '\0');
        packFrame(&frame, reinterpret_cast<uint8_t *>(bytes.data()));
        pictures << bytes;
    }
    decoderDestroy(&decoder);
    return pictures;
}

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void transcode_matchesSourceAndReportsJson();
    void failure_exitsWithItsStatus_data();
    void failure_exitsWithItsStatus();
    void fullDisk_isNotReportedAsSuccess();
    void signal_stopsEncoderAndCleansUp_data();
    void signal_stopsEncoderAndCleansUp();
    void startAndFrames_handOverExactlyThosePictures_data();
    void startAndFrames_handOverExactlyThosePictures();
    void skipTo_matchesDecodingFromTheStart_data();
    void skipTo_matchesDecodingFromTheStart();
    void segments_encodedInParallelAndJoined_matchOnePiece();
    void twoJobsOfOneSize_inTwoProcesses_keepApart();
};

void CliTest::initTestCase()
{
    QVERIFY2(QFileInfo(cliProgram()).isExecutable(), qPrintable(cliProgram()));
    QVERIFY(QFileInfo(TestSupport::binDir() + QStringLiteral("/TAppEncoder_hm80.exe")).isExecutable());
}

// Relative paths from the user's directory, default output, configuration and encoder: the
// bitstream holds every picture at a good quality, the encoder's lines reach standard output,
// each JSON progress line parses, the last with the final count, and the 10-bit input's loss
// to the default 8-bit configuration is told once on standard error.
void CliTest::transcode_matchesSourceAndReportsJson()
{
    IsolatedEnvironment env;
    QVERIFY(makeClip(env.filePath("clip.mp4"), 176, 100, 20, {"-c:v", "libx264", "-pix_fmt", "yuv420p10le"}));

    const TestSupport::RunResult run =
        TestSupport::run(cliProgram(), {"clip.mp4", "--progress", "json"}, 120000, env.path());
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());

    const TestSupport::ProbeResult probe = TestSupport::probeVideo(env.filePath("clip.265"));
    QCOMPARE(probe.codec, QStringLiteral("hevc"));
    QCOMPARE(probe.frames, 20);
    QCOMPARE(probe.width, 176);
    QCOMPARE(probe.height, 100);
    const double psnr = TestSupport::lumaPsnr(env.filePath("clip.265"), env.filePath("clip.mp4"), 176, 100);
    QVERIFY2(psnr >= 30.0, qPrintable(QString::number(psnr)));

    QCOMPARE(run.out.count("\nPOC ") + int(run.out.startsWith("POC ")), 20);

    QJsonObject last;
    int objects = 0;
    for (const QByteArray &line : run.err.split('\n')) {
        if (!line.startsWith('{'))
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(), line.constData());
        last = document.object();
        for (const char *key : {"pictures", "total", "fps", "eta_s", "elapsed_s"})
            QVERIFY2(last.contains(QLatin1String(key)), line.constData());
        ++objects;
    }
    QVERIFY(objects >= 2);
    QCOMPARE(run.err.count("The input has 10-bit pictures; the configuration asks for 8 bits "
                           "(hevczent10.cfg keeps all 10).\n"), 1);
    QVERIFY(last.value("final").toBool());
    QCOMPARE(last.value("pictures").toInt(), 20);
    QCOMPARE(last.value("total").toInt(), 20);
    QVERIFY(QDir(env.tempPath()).isEmpty());
}

void CliTest::failure_exitsWithItsStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("tmpdir");
    QTest::addColumn<int>("status");

    QTest::newRow("missing input") << QStringList{"missing.mp4", "-o", "out.265"} << QString() << 66;
    QTest::newRow("not a video") << QStringList{"fails.sh", "-o", "out.265"} << QString() << 66;
    QTest::newRow("missing encoder") << QStringList{"clip.mp4", "-o", "out.265", "-e", "no such encoder"}
                                     << QString() << 69;
    QTest::newRow("encoder fails") << QStringList{"clip.mp4", "-o", "out.265", "-e", "fails.sh"} << QString() << 3;
    QTest::newRow("encoder crashes") << QStringList{"clip.mp4", "-o", "out.265", "-e", "crashes.sh"} << QString() << 128 + SIGSEGV;
    QTest::newRow("output is the input") << QStringList{"clip.mp4", "-o", "./clip.mp4"} << QString() << 73;
    QTest::newRow("output folder missing") << QStringList{"clip.mp4", "-o", "missing/out.265"} << QString() << 73;
    QTest::newRow("temporary folder missing") << QStringList{"clip.mp4", "-o", "out.265"} << "missing" << 75;
    QTest::newRow("raw input of unknown size") << QStringList{"frames.yuv", "-o", "out.265"} << QString() << 64;
    QTest::newRow("unknown option") << QStringList{"clip.mp4", "--colour", "red"} << QString() << 64;
    QTest::newRow("segment not a bitstream") << QStringList{"--join", "out.265", "clip.mp4"} << QString() << 65;
    QTest::newRow("segment missing") << QStringList{"--join", "out.265", "missing.265"} << QString() << 66;
    QTest::newRow("join output is a segment") << QStringList{"--join", "clip.mp4", "clip.mp4"} << QString() << 73;
}

// Each failure ends with its status and exactly one line naming it; the input is untouched and
// nothing is left behind.
void CliTest::failure_exitsWithItsStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, tmpdir);
    QFETCH(int, status);

    IsolatedEnvironment env;
    QVERIFY(makeClip(env.filePath("clip.mp4"), 64, 48, 10));
    QVERIFY(TestSupport::writeScript(env.filePath("fails.sh"), "#!/bin/sh\nexit 3\n"));
    QVERIFY(TestSupport::writeScript(env.filePath("crashes.sh"), "#!/bin/sh\nkill -SEGV $$\n"));
    QVERIFY(TestSupport::writeFile(env.filePath("frames.yuv"), QByteArray(4608, '\x80')));
    const QByteArray clip = TestSupport::readFile(env.filePath("clip.mp4"));

    QProcess process;
    process.setWorkingDirectory(env.path());
    if (!tmpdir.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), env.filePath(tmpdir));
        process.setProcessEnvironment(environment);
    }
    process.start(cliProgram(), arguments);
    QVERIFY(process.waitForFinished(60000));
    const QByteArray err = process.readAllStandardError();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == status, err.constData());

    const QList<QByteArray> lines = err.split('\n');
    QCOMPARE(std::count_if(lines.begin(), lines.end(),
                           [](const QByteArray &line) { return line.startsWith("morlunex-cli: "); }),
             1);
    QCOMPARE(TestSupport::readFile(env.filePath("clip.mp4")), clip);
    QVERIFY(status == 3 || status == 128 + SIGSEGV || !QFile::exists(env.filePath("out.265")));
    QVERIFY(QDir(env.tempPath()).isEmpty());
}

// The disk fills while pictures go to the encoder through a growing file: the encoder encodes
// what reached it and exits 0, but the output misses pictures, which must not pass for success.
void CliTest::fullDisk_isNotReportedAsSuccess()
{
    IsolatedEnvironment env;
    QVERIFY(makeClip(env.filePath("clip.mp4"), 64, 48, 60));
    const int pictureBytes = 64 * 48 * 3 / 2;

    QProcess cli;
    cli.setWorkingDirectory(env.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MORLUNEX_FRAME_TRANSPORT"), QStringLiteral("file"));
    cli.setProcessEnvironment(environment);
    {
        const TestSupport::FileSizeLimit limit(20 * pictureBytes);
        cli.start(cliProgram(), {"clip.mp4", "-o", "out.265", "--progress", "none"});
        QVERIFY(cli.waitForStarted(10000));
    }
    QVERIFY(cli.waitForFinished(60000));
    const QByteArray err = cli.readAllStandardError();
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli.exitCode() == 74, err.constData());
    QVERIFY2(err.contains("morlunex-cli: warning: ") && err.contains("holds the first 20"), err.constData());
    QCOMPARE(TestSupport::probeVideo(env.filePath("out.265")).frames, 20);
    QVERIFY(QDir(env.tempPath()).isEmpty());
}

void CliTest::signal_stopsEncoderAndCleansUp_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGHUP") << SIGHUP;
}

// A signal in the middle of a job whose encoder reads slowly: the program exits with
// 128 + the signal, no encoder is left running and the private folder is gone.
void CliTest::signal_stopsEncoderAndCleansUp()
{
    QFETCH(int, signalNumber);

    IsolatedEnvironment env;
    QVERIFY(makeClip(env.filePath("clip.mp4"), 64, 48, 100));
    const QString encoder = env.filePath("slow encoder.sh");
    QVERIFY(TestSupport::writeScript(encoder, R"(#!/bin/sh
while [ $# -gt 0 ]; do [ "$1" = -i ] && input=$2; shift; done
exec 3< "$input"
echo $$ > "$(dirname "$0")/encoder.pid"
while head -c 1000 <&3 > /dev/null; do sleep 0.05; done
)"));

    QProcess cli;
    cli.setWorkingDirectory(env.path());
    // Whatever started the test (a shell running it in the background ignores SIGINT), the
    // program starts with the signals' default handling, as from a terminal.
    cli.setChildProcessModifier([] {
        for (int number : {SIGINT, SIGTERM, SIGHUP})
            std::signal(number, SIG_DFL);
    });
    cli.start(cliProgram(), {"clip.mp4", "-e", encoder, "-o", "out.265", "--progress", "none"});
    QVERIFY(cli.waitForStarted(10000));
    QVERIFY(QTest::qWaitFor([&] { return QFile::exists(env.filePath("encoder.pid")); }, 20000));
    QVERIFY(!TestSupport::processesMentioning(encoder).isEmpty());
    QTest::qWait(300);
    QCOMPARE(cli.state(), QProcess::Running);

    ::kill(pid_t(cli.processId()), signalNumber);
    QVERIFY(cli.waitForFinished(15000));
    const QByteArray err = cli.readAllStandardError();
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli.exitCode() == 128 + signalNumber, err.constData());
    QVERIFY2(err.contains("morlunex-cli: stopped by SIG"), err.constData());
    QVERIFY(QTest::qWaitFor([&] { return TestSupport::processesMentioning(encoder).isEmpty(); }, 5000));
    QVERIFY(QDir(env.tempPath()).isEmpty());
}

void CliTest::startAndFrames_handOverExactlyThosePictures_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("expected");

    QTest::newRow("middle of a group of pictures") << 23 << 17 << 17;
    QTest::newRow("on a keyframe") << 24 << 5 << 5;
    QTest::newRow("past the end") << 50 << 100 << 10;
}

// The encoder receives exactly those pictures: a scripted encoder copies its input, compared
// with the ffmpeg tool's raw output of the same pictures. B-frames and short groups of pictures
// in an mp4, so the seek lands between keyframes and reorders.
void CliTest::startAndFrames_handOverExactlyThosePictures()
{
    QFETCH(int, start);
    QFETCH(int, frames);
    QFETCH(int, expected);

    IsolatedEnvironment env;
    const QString clip = env.filePath("clip.mp4");
    QVERIFY(makeClip(clip, 72, 40, 60, {"-c:v", "libx264", "-bf", "3", "-g", "12", "-pix_fmt", "yuv420p"}));
    const QString encoder = env.filePath("copy.sh");
    QVERIFY(TestSupport::writeScript(encoder, R"(#!/bin/sh
while [ $# -gt 0 ]; do [ "$1" = -i ] && input=$2; shift; done
cat "$input" > "$(dirname "$0")/copy.raw"
)"));

    const TestSupport::RunResult run =
        TestSupport::run(cliProgram(), {"-q", clip, "-e", encoder, "-o", env.filePath("out.265"), "--start",
                                        QString::number(start), "--frames", QString::number(frames)});
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());

    QVERIFY(TestSupport::ffmpeg({"-i", clip, "-vf",
                                 QStringLiteral("trim=start_frame=%1:end_frame=%2").arg(start).arg(start + frames),
                                 "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                                 env.filePath("expected.yuv")}));
    const QByteArray wanted = TestSupport::padFrames(TestSupport::readFile(env.filePath("expected.yuv")), 72, 40, 2, 2);
    QCOMPARE(wanted.size(), expected * 80 * 48 * 3 / 2);
    QVERIFY(TestSupport::readFile(env.filePath("copy.raw")) == wanted);
}

void CliTest::skipTo_matchesDecodingFromTheStart_data()
{
    QTest::addColumn<QStringList>("codec");
    QTest::addColumn<QString>("name");

    const QStringList h264 = {"-c:v", "libx264", "-bf", "3", "-g", "10", "-pix_fmt", "yuv420p"};
    // Open groups of pictures: the keyframe's leading pictures cannot be decoded after a seek.
    QTest::newRow("hevc mp4 open gop") << QStringList{"-c:v", "libx265", "-x265-params", "log-level=error:keyint=12",
                                                      "-pix_fmt", "yuv420p"} << "clip.mp4";
    QTest::newRow("h264 matroska") << h264 << "clip.mkv";
    QTest::newRow("h264 elementary") << h264 << "clip.h264";
    QTest::newRow("h264 transport") << h264 << "clip.ts";
    QTest::newRow("variable rate mp4") << QStringList{"-vf", "setpts='if(lt(N,30),N,N+4)/25/TB'", "-fps_mode",
                                                      "passthrough"} + h264 << "clip.mp4";
}

// Whichever way the decoder gets there (a seek where the timestamps count pictures, decoding
// from the start where they do not), the pictures after it are those decoding from the start
// gives, and a skip past the end fails as decoding would.
void CliTest::skipTo_matchesDecodingFromTheStart()
{
    QFETCH(QStringList, codec);
    QFETCH(QString, name);

    IsolatedEnvironment env;
    const QString clip = env.filePath(name);
    QVERIFY(makeClip(clip, 72, 40, 60, codec));

    int result = 0;
    const QList<QByteArray> all = decodeAfter(clip, 0, &result);
    QCOMPARE(all.size(), 60);
    for (const int skip : {1, 10, 11, 37, 59, 60, 61}) {
        const QList<QByteArray> rest = decodeAfter(clip, skip, &result);
        QVERIFY2((result < 0) == (skip > 60), qPrintable(QString::number(skip)));
        if (skip <= 60)
            QVERIFY2(rest == all.mid(skip), qPrintable(QStringLiteral("skip %1: %2 pictures").arg(skip).arg(rest.size())));
    }
}

// The workflow for many machines on one: a 400-picture clip cut into four segments encoded by
// GNU parallel, joined into one bitstream that holds every picture at the quality of the same
// clip encoded in one piece.
void CliTest::segments_encodedInParallelAndJoined_matchOnePiece()
{
    const QString parallel = QStandardPaths::findExecutable(QStringLiteral("parallel"));
    if (parallel.isEmpty())
        QSKIP("GNU parallel is not installed");

    IsolatedEnvironment env;
    QVERIFY(makeClip(env.filePath("clip.mp4"), 64, 48, 400));

    const TestSupport::RunResult whole =
        TestSupport::run(cliProgram(), {"-q", "clip.mp4", "-o", "whole.265"}, 120000, env.path());
    QVERIFY2(whole.finished && whole.exitCode == 0, whole.err.constData());

    QProcess segments;
    segments.setWorkingDirectory(env.path());
    // GNU parallel keeps its own files under HOME.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), env.path());
    segments.setProcessEnvironment(environment);
    segments.start(parallel, {"--will-cite", "-j", "2", "--halt", "now,fail=1", cliProgram(), "-q", "--start", "{}",
                              "--frames", "100", "-o", "part_{}.265", "clip.mp4", ":::", "0", "100", "200", "300"});
    QVERIFY(segments.waitForFinished(120000));
    QVERIFY2(segments.exitStatus() == QProcess::NormalExit && segments.exitCode() == 0,
             segments.readAllStandardError().constData());

    const TestSupport::RunResult join = TestSupport::run(
        cliProgram(), {"--join", "joined.265", "part_0.265", "part_100.265", "part_200.265", "part_300.265"}, 60000,
        env.path());
    QVERIFY2(join.finished && join.exitCode == 0, join.err.constData());

    const TestSupport::ProbeResult probe = TestSupport::probeVideo(env.filePath("joined.265"));
    QCOMPARE(probe.frames, 400);
    QCOMPARE(probe.width, 64);
    QCOMPARE(probe.height, 48);
    const double joined = TestSupport::lumaPsnr(env.filePath("joined.265"), env.filePath("clip.mp4"), 64, 48);
    const double onePiece = TestSupport::lumaPsnr(env.filePath("whole.265"), env.filePath("clip.mp4"), 64, 48);
    QVERIFY2(onePiece > 30 && qAbs(joined - onePiece) <= 0.5,
             qPrintable(QStringLiteral("joined %1 dB, one piece %2 dB").arg(joined).arg(onePiece)));
    QVERIFY(QDir(env.tempPath()).isEmpty());
}

// Two transcodes of different clips with the same picture size, at the same time in two
// processes: each job's frame pipe lives in a folder of its own, so neither reads the other's.
void CliTest::twoJobsOfOneSize_inTwoProcesses_keepApart()
{
    IsolatedEnvironment env;
    const QStringList sources = {QStringLiteral("testsrc2"), QStringLiteral("smptehdbars")};
    for (const QString &source : sources) {
        QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", source + "=size=320x240:rate=25", "-frames:v", "40",
                                     "-c:v", "libx264", "-pix_fmt", "yuv420p", env.filePath(source + ".mp4")}));
    }
    QProcess jobs[2];
    for (int i = 0; i < 2; ++i) {
        jobs[i].setWorkingDirectory(env.path());
        jobs[i].start(cliProgram(), {sources.at(i) + ".mp4", "-q"});
    }
    for (QProcess &job : jobs) {
        QVERIFY(job.waitForFinished(120000));
        QCOMPARE(job.exitCode(), 0);
    }
    for (int i = 0; i < 2; ++i) {
        const QString output = env.filePath(sources.at(i) + ".265");
        QCOMPARE(TestSupport::probeVideo(output).frames, 40);
        const double own = TestSupport::lumaPsnr(output, env.filePath(sources.at(i) + ".mp4"), 320, 240);
        const double other = TestSupport::lumaPsnr(output, env.filePath(sources.at(1 - i) + ".mp4"), 320, 240);
        QVERIFY2(own >= 30.0 && other < 20.0, qPrintable(QStringLiteral("%1 / %2").arg(own).arg(other)));
    }
    QVERIFY(QDir(env.tempPath()).isEmpty());
}

QTEST_GUILESS_MAIN(CliTest)

#include "tst_cli.moc"
