// morlunex-cli as a user runs it: real processes on clips made at test time, checked with the
// ffmpeg tool's own output; failures and their exit statuses; a stop by signal; segments
// encoded under GNU parallel and joined; the decoder's seek to a picture, which must hand
// over exactly what decoding from the start would; and the quality report, the QP sweep and
// the BD-rate of its reports.

#include "decode/videodecoder.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <cmath>
#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/version.h>
}

#define MORLUNEX_TEXT(value) #value
#define MORLUNEX_AVFORMAT_SONAME(major) "libavformat.so." MORLUNEX_TEXT(major)
#define LIBAVFORMAT_SONAME MORLUNEX_AVFORMAT_SONAME(LIBAVFORMAT_VERSION_MAJOR)

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

// The ffmpeg tool's luma PSNR of a bitstream against its source: each picture's, in display
// order, and its own figure for the whole.
struct ToolPsnr
{
    QList<double> pictures;
    double whole = -1;
};

ToolPsnr toolPsnr(const QString &bitstream, const QString &source, const QString &statsFile)
{
    ToolPsnr psnr;
    const TestSupport::RunResult run = TestSupport::run(
        QStringLiteral("ffmpeg"), {"-nostdin", "-hide_banner", "-i", bitstream, "-i", source, "-lavfi",
                                   "[0:v][1:v]psnr=stats_file=" + statsFile, "-f", "null", "-"});
    static const QRegularExpression picture(QStringLiteral("psnr_y:([0-9.]+)"));
    for (const QByteArray &line : TestSupport::readFile(statsFile).split('\n')) {
        const QRegularExpressionMatch match = picture.match(QString::fromLatin1(line));
        if (match.hasMatch())
            psnr.pictures << match.captured(1).toDouble();
    }
    const QRegularExpressionMatch whole =
        QRegularExpression(QStringLiteral("PSNR y:([0-9.]+)")).match(QString::fromUtf8(run.err));
    if (whole.hasMatch())
        psnr.whole = whole.captured(1).toDouble();
    return psnr;
}

// The rows of a report file, JSON or CSV, as JSON objects.
QList<QJsonObject> reportRows(const QString &path)
{
    QList<QJsonObject> rows;
    const QByteArray bytes = TestSupport::readFile(path);
    if (path.endsWith(QLatin1String(".json"))) {
        for (const QJsonValue &row : QJsonDocument::fromJson(bytes).object().value("pictures").toArray())
            rows << row.toObject();
        return rows;
    }
    QList<QByteArray> lines = bytes.trimmed().split('\n');
    const QList<QByteArray> header = lines.takeFirst().split(',');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> cells = line.split(',');
        QJsonObject row;
        for (qsizetype i = 0; i < header.size() && i < cells.size(); ++i)
            row.insert(QString::fromLatin1(header.at(i)), header.at(i) == "type" ? QJsonValue(QString::fromLatin1(cells.at(i)))
                                                                               : QJsonValue(cells.at(i).toDouble()));
        rows << row;
    }
    return rows;
}

QJsonObject reportSummary(const QString &path)
{
    return QJsonDocument::fromJson(TestSupport::readFile(path)).object().value("summary").toObject();
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
    void brokenLibrary_endsNamingIt();
    void guards_endWithTheRightStatus_data();
    void guards_endWithTheRightStatus();
    void shortInput_isToldAndFailsWhenStrict();
    void join_stopsOnSignalAndLeavesNothing_data();
    void join_stopsOnSignalAndLeavesNothing();
    void signal_stopsEncoderAndCleansUp_data();
    void signal_stopsEncoderAndCleansUp();
    void startAndFrames_handOverExactlyThosePictures_data();
    void startAndFrames_handOverExactlyThosePictures();
    void skipTo_matchesDecodingFromTheStart_data();
    void skipTo_matchesDecodingFromTheStart();
    void segments_encodedInParallelAndJoined_matchOnePiece();
    void twoJobsOfOneSize_inTwoProcesses_keepApart();
    void report_rowPerPictureMatchingTheTool_data();
    void report_rowPerPictureMatchingTheTool();
    void report_fromEncoderWithoutGoodLines_data();
    void report_fromEncoderWithoutGoodLines();
    void qpSweep_reportsRateFallingAndBdRateOfThem();
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
    // A run that went well has no error line for a log to show.
    QVERIFY2(!run.err.contains("rror"), run.err.constData());
    QVERIFY(QDir(env.tempPath()).isEmpty());

    // Quiet means quiet, the encoder included; its lines can go to a file instead.
    const TestSupport::RunResult quiet =
        TestSupport::run(cliProgram(), {"clip.mp4", "-q", "-o", "quiet.265"}, 120000, env.path());
    QVERIFY2(quiet.finished && quiet.exitCode == 0 && quiet.out.isEmpty() && quiet.err.isEmpty(), quiet.err.constData());
    const TestSupport::RunResult logged = TestSupport::run(
        cliProgram(), {"clip.mp4", "-o", "logged.265", "--encoder-log", "encoder.log", "--progress", "none"}, 120000, env.path());
    QVERIFY2(logged.finished && logged.exitCode == 0 && logged.out.isEmpty(), logged.err.constData());
    const QByteArray log = TestSupport::readFile(env.filePath("encoder.log"));
    QCOMPARE(log.count("\nPOC ") + int(log.startsWith("POC ")), 20);
    QVERIFY(log.contains("x265 [info]"));
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
    QTest::newRow("report folder missing") << QStringList{"clip.mp4", "-o", "out.265", "--report", "missing/r.json"}
                                           << QString() << 73;
    QTest::newRow("report is the output") << QStringList{"clip.mp4", "-o", "out.json", "--report", "./out.json"}
                                          << QString() << 73;
    QTest::newRow("report neither JSON nor CSV") << QStringList{"clip.mp4", "--report", "r.txt"} << QString() << 64;
    QTest::newRow("QP out of range") << QStringList{"clip.mp4", "--qp", "22,52"} << QString() << 64;
    const QStringList four = {"r1.json", "r2.json", "r3.json", "r4.json"};
    QTest::newRow("BD-rate of three reports") << QStringList{"--bd-rate"} + four.mid(1) + QStringList{"--vs"} + four
                                              << QString() << 64;
    QTest::newRow("BD-rate without --vs") << QStringList{"--bd-rate"} + four + four << QString() << 64;
    QTest::newRow("BD-rate weights of two planes") << QStringList{"--bd-rate"} + four + QStringList{"--vs"} + four
                                                          + QStringList{"--yuv-weights", "6:1"} << QString() << 64;
    QTest::newRow("BD-rate report missing") << QStringList{"--bd-rate"} + four + QStringList{"--vs"} + four
                                            << QString() << 66;
    QTest::newRow("BD-rate of no report")
        << QStringList{"--bd-rate", "clip.mp4", "clip.mp4", "clip.mp4", "clip.mp4", "--vs"} + four << QString() << 65;
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

// FFmpeg's libraries are loaded by the first call into them: one that cannot be loaded ends the
// program as the dynamic loader would have at its start, naming it, with its input untouched.
void CliTest::brokenLibrary_endsNamingIt()
{
    IsolatedEnvironment env;
    QVERIFY(makeClip(env.filePath("clip.mp4"), 64, 48, 10));
    const QByteArray clip = TestSupport::readFile(env.filePath("clip.mp4"));
    QVERIFY(QDir().mkpath(env.filePath("lib")));
    QVERIFY(TestSupport::writeFile(env.filePath("lib/" LIBAVFORMAT_SONAME), "not a library"));

    QProcess cli;
    cli.setWorkingDirectory(env.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_LIBRARY_PATH"), env.filePath("lib"));
    cli.setProcessEnvironment(environment);
    cli.start(cliProgram(), {"clip.mp4", "-o", "out.265", "--progress", "none"});
    QVERIFY(cli.waitForFinished(60000));
    const QByteArray err = cli.readAllStandardError();
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli.exitCode() == 127, err.constData());
    QVERIFY2(err.contains("morlunex-cli: cannot load FFmpeg's libraries: " LIBAVFORMAT_SONAME ": "), err.constData());
    QCOMPARE(TestSupport::readFile(env.filePath("clip.mp4")), clip);
    QVERIFY(!QFile::exists(env.filePath("out.265")));
}

void CliTest::guards_endWithTheRightStatus_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("told");

    QTest::newRow("output is a hard link to the input")
        << "ln clip.mp4 o.265" << QStringList{"clip.mp4", "--frames", "3", "-o", "o.265"} << 73 << "is the input file";
    QTest::newRow("output is a hard link to the configuration")
        << "ln my.cfg o.265" << QStringList{"clip.mp4", "-c", "my.cfg", "-o", "o.265"} << 73 << "is the configuration file";
    QTest::newRow("output is a hard link to a script encoder")
        << "ln writes.sh o.265" << QStringList{"clip.mp4", "-e", "./writes.sh", "-o", "o.265"} << 73 << "is the encoder program";
    QTest::newRow("output is a loop of links")
        << "ln -s loop.265 loop.265" << QStringList{"clip.mp4", "-o", "loop.265"} << 73 << "Too many levels of symbolic links";
    QTest::newRow("encoder writes nothing and exits 0")
        << "" << QStringList{"clip.mp4", "-e", "true", "-o", "none.265"} << 76 << "wrote no output file";
    QTest::newRow("encoder leaves an earlier output standing")
        << "stale out.265" << QStringList{"clip.mp4", "-e", "true", "-o", "out.265"} << 76 << "did not write the output file";
    QTest::newRow("start past the end")
        << "" << QStringList{"clip.mp4", "--start", "50", "-o", "out.265"} << 64
        << "has 10 pictures; --start 50 is past its end";
    QTest::newRow("start at the very end")
        << "" << QStringList{"clip.mp4", "--start", "10", "-o", "out.265"} << 64
        << "has 10 pictures; --start 10 is past its end";
    // Every output of a sweep is checked before the first is encoded.
    QTest::newRow("a sweep's second output is the input")
        << "ln clip.mp4 o_QP27.265" << QStringList{"clip.mp4", "--qp", "22,27", "-o", "o.265"} << 73
        << "o_QP27.265 is the input file.";
    // Quiet: the one line of the program's, none of the libraries'.
    QTest::newRow("quiet on an input that is no video")
        << "stale bad.mp4" << QStringList{"bad.mp4", "-q", "-o", "o.265"} << 66 << "cannot use the input";
    // Told in the program's words, not the library's ("Stream not found", "End of file").
    QTest::newRow("input with sound only")
        << "sound sound.m4a" << QStringList{"sound.m4a", "-o", "o.265"} << 66 << "sound.m4a: it holds no video stream";
    QTest::newRow("input with sound only, in segments")
        << "sound sound.m4a" << QStringList{"sound.m4a", "-j", "2", "-q", "-o", "o.265"} << 66
        << "sound.m4a: it holds no video stream";
    QTest::newRow("empty input")
        << "empty empty.ogg" << QStringList{"empty.ogg", "-o", "o.265"} << 66
        << "empty.ogg: the file is empty: it holds no video";
    QTest::newRow("segment is a named pipe")
        << "mkfifo seg.265" << QStringList{"--join", "joined.265", "seg.265"} << 66 << "it is a named pipe";
    QTest::newRow("segment of zeros")
        << "zeros seg.265" << QStringList{"--join", "joined.265", "seg.265"} << 65 << "no start code in its first megabyte";
    QTest::newRow("join output exists")
        << "stale joined.265" << QStringList{"--join", "joined.265", "tiny.265"} << 73 << "--overwrite";
    QTest::newRow("join output named twice")
        << "" << QStringList{"--join", "a.265", "--join", "b.265", "tiny.265"} << 64 << "given 2 times (a.265, b.265)";
    QTest::newRow("join output named empty")
        << "" << QStringList{"--join", "", "tiny.265"} << 64 << "needs the name of the output file";
    QTest::newRow("join with a gap")
        << "gap" << QStringList{"--join", "joined.265", "part_0000000.265", "part_0000005.265"} << 65
        << "pictures 2 to 4 are missing between part_0000000.265 and part_0000005.265";
    QTest::newRow("join of a part whose first picture is out of range")
        << "cp tiny.265 part_99999999999999999999.265" << QStringList{"--join", "joined.265", "part_99999999999999999999.265"}
        << 65 << "part_99999999999999999999.265 names its first picture 99999999999999999999, a number out of range";
    QTest::newRow("join short of the pictures expected")
        << "" << QStringList{"--join", "joined.265", "tiny.265", "--expect", "5"} << 65 << "hold 2 pictures, not the 5 expected";
    QTest::newRow("join runs out of disk")
        << "limit" << QStringList{"--join", "joined.265", "tiny.265", "tiny.265"} << 74 << "Cannot join into";
}

// Guards that keep the user's files safe and tell the real reason, with the status that goes
// with it: the protected files are untouched and nothing is left behind.
void CliTest::guards_endWithTheRightStatus()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, told);

    IsolatedEnvironment env;
    QVERIFY(makeClip(env.filePath("clip.mp4"), 64, 48, 10));
    QVERIFY(TestSupport::writeFile(env.filePath("my.cfg"), "QP : 32\n"));
    QVERIFY(TestSupport::writeScript(env.filePath("writes.sh"), "#!/bin/sh\nwhile [ \"$1\" != -b ]; do shift; done\n"
                                                             "echo written > \"$2\"\n"));
    QVERIFY(TestSupport::writeTinyStream(env.filePath("tiny.265")));
    const QStringList words = setup.split(' ');
    QByteArray limitBytes;
    if (words.first() == "ln" && words.at(1) == "-s")
        QVERIFY(QFile::link(words.at(2), env.filePath(words.at(3))));
    else if (words.first() == "ln")
        QVERIFY(::link(QFile::encodeName(env.filePath(words.at(1))).constData(),
                       QFile::encodeName(env.filePath(words.at(2))).constData()) == 0);
    else if (words.first() == "stale")
        QVERIFY(TestSupport::writeFile(env.filePath(words.at(1)), "from an earlier run"));
    else if (words.first() == "cp")
        QVERIFY(QFile::copy(env.filePath(words.at(1)), env.filePath(words.at(2))));
    else if (words.first() == "gap")   // two pictures each, the second named as if three came between
        QVERIFY(QFile::copy(env.filePath("tiny.265"), env.filePath("part_0000000.265"))
                && QFile::copy(env.filePath("tiny.265"), env.filePath("part_0000005.265")));
    else if (words.first() == "sound")
        QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "sine=duration=1", env.filePath(words.at(1))}));
    else if (words.first() == "empty")
        QVERIFY(TestSupport::writeFile(env.filePath(words.at(1)), QByteArray()));
    else if (words.first() == "mkfifo")
        QVERIFY(::mkfifo(QFile::encodeName(env.filePath(words.at(1))).constData(), 0600) == 0);
    else if (words.first() == "zeros")  // four gigabytes of zeros, without the disk space
        QVERIFY(TestSupport::writeFile(env.filePath(words.at(1)), QByteArray())
                && QFile(env.filePath(words.at(1))).resize(qint64(4) << 30));
    // The first megabyte of each file, read without taking in the rest of a sparse giant.
    const auto firstMegabyte = [&env](const QString &name) {
        QFile file(env.filePath(name));
        return QFileInfo(file).isFile() && file.open(QIODevice::ReadOnly) ? file.read(1 << 20) : QByteArray();
    };
    QMap<QString, QByteArray> kept;
    for (const QString &name : QDir(env.path()).entryList(QDir::Files | QDir::System))
        kept.insert(name, firstMegabyte(name));

    QProcess process;
    process.setWorkingDirectory(env.path());
    {
        const TestSupport::FileSizeLimit limit(setup == "limit" ? 1000 : RLIM_INFINITY);
        process.start(cliProgram(), arguments);
        QVERIFY(process.waitForStarted(10000));
    }
    QVERIFY(process.waitForFinished(60000));
    const QByteArray err = process.readAllStandardError();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == status, err.constData());
    const QList<QByteArray> lines = err.split('\n');
    int named = 0;
    for (const QByteArray &line : lines)
        named += line.startsWith("morlunex-cli: ") ? 1 : 0;
    QCOMPARE(named, 1);
    if (arguments.contains("-q"))
        QVERIFY2(err.count('\n') == 1, err.constData());
    QVERIFY2(err.contains(told.toUtf8()), err.constData());
    for (auto file = kept.cbegin(); file != kept.cend(); ++file) {
        if (QFileInfo(env.filePath(file.key())).isFile())
            QVERIFY2(firstMegabyte(file.key()) == file.value(), qPrintable(file.key()));
    }
    const QStringList left =
        QDir(env.path()).entryList({"*.265.*", "joined.265", "a.265", "b.265", "o_QP22*"}, QDir::Files);
    QVERIFY2(left.isEmpty() || setup == "stale joined.265", qPrintable(left.join(", ")));
    QVERIFY(QDir(env.tempPath()).isEmpty());
}

// A file that declares more pictures than it holds (its index at the front, its end cut off):
// every picture there is still encoded, the user is told how far it fell short, the JSON
// progress carries what the input declared, --strict makes it a failure, and -q keeps the
// libraries' and the decoder's lines off the terminal.
void CliTest::shortInput_isToldAndFailsWhenStrict()
{
    IsolatedEnvironment env;
    const QString whole = env.filePath("whole.mp4");
    QVERIFY(makeClip(whole, 64, 48, 40, {"-c:v", "libx264", "-g", "5", "-pix_fmt", "yuv420p", "-movflags", "+faststart"}));
    QByteArray bytes = TestSupport::readFile(whole);
    QVERIFY(TestSupport::writeFile(env.filePath("cut.mp4"), bytes.left(bytes.size() * 6 / 10)));

    TestSupport::RunResult run = TestSupport::run(cliProgram(), {"cut.mp4", "-o", "out.265", "--progress", "json"},
                                                  120000, env.path());
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const QRegularExpressionMatch told = QRegularExpression(
        QStringLiteral("The input ended after (\\d+) of the 40 pictures it declares\\.")).match(QString::fromUtf8(run.err));
    QVERIFY2(told.hasMatch(), run.err.constData());
    const int pictures = told.captured(1).toInt();
    QVERIFY2(pictures > 0 && pictures < 40, run.err.constData());
    QCOMPARE(TestSupport::probeVideo(env.filePath("out.265")).frames, pictures);
    QJsonObject final;
    for (const QByteArray &line : run.err.split('\n'))
        if (line.contains("\"final\""))
            final = QJsonDocument::fromJson(line).object();
    QCOMPARE(final.value("pictures").toInt(), pictures);
    QCOMPARE(final.value("declared_total").toInt(), 40);

    run = TestSupport::run(cliProgram(), {"cut.mp4", "-o", "strict.265", "-q", "--strict"}, 120000, env.path());
    QVERIFY2(run.finished && run.exitCode == 74, run.err.constData());
    QVERIFY2(run.err.contains(QStringLiteral("ended after %1 of the 40 pictures").arg(pictures).toUtf8()), run.err.constData());

    // Quiet with a log: the terminal gets the one warning; what the libraries and the decoder
    // said of the cut goes into the log, each line once.
    run = TestSupport::run(cliProgram(), {"cut.mp4", "-o", "quiet.265", "-q", "--encoder-log", "quiet.log"}, 120000,
                           env.path());
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.startsWith("morlunex-cli: warning: the input cut.mp4 ended after") && run.err.count('\n') == 1,
             run.err.constData());
    const QByteArray log = TestSupport::readFile(env.filePath("quiet.log"));
    for (const char *line : {"\nFFmpeg: Error occurred: Invalid data found when processing input\n",
                             "\nFFmpeg: Error decoding video\n"})
        QVERIFY2(log.count(line) == 1, log.constData());
    QVERIFY(QDir(env.tempPath()).isEmpty());
}

// A signal in the middle of a long join ends it at once with 128 + the signal, and no part
// of the output is left behind: while the join still reads its segments to check them, and
// while it writes the output.
void CliTest::join_stopsOnSignalAndLeavesNothing_data()
{
    QTest::addColumn<bool>("writing");
    QTest::newRow("while reading the segments") << false;
    QTest::newRow("while writing the output") << true;
}

void CliTest::join_stopsOnSignalAndLeavesNothing()
{
    QFETCH(bool, writing);

    IsolatedEnvironment env;
    QVERIFY(TestSupport::writeTinyStream(env.filePath("short.265")));
    const QString segment = env.filePath("long.265");
    QVERIFY(TestSupport::writeTinyStream(segment));
    // A stream followed by a gigabyte of zero padding, which the join reads through once to
    // check the segments and once more to copy them. The short segment goes first, so that
    // the copy begins after one gigabyte read, not two, however busy the machine.
    QVERIFY(QFile(segment).resize(qint64(1) << 30));

    QProcess cli;
    cli.setWorkingDirectory(env.path());
    cli.start(cliProgram(), {"--join", "joined.265", "short.265", "long.265"});
    QVERIFY(cli.waitForStarted(10000));
    const QString proc = QStringLiteral("/proc/%1").arg(cli.processId());
    // Checking: a good part of the first segment read, no output file open yet.
    const auto reading = [&] {
        const QByteArray io = TestSupport::readFile(proc + "/io");
        const int at = io.indexOf("rchar: ");
        return at >= 0 && io.mid(at + 7, io.indexOf('\n', at) - at - 7).toLongLong() > (qint64(256) << 20);
    };
    // Copying: the output's temporary file (unnamed, "#<inode>" beside the output) is open.
    const auto copying = [&] {
        const QString fds = proc + "/fd";
        for (const QString &fd : QDir(fds).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
            char target[4096];
            const ssize_t length = ::readlink(QFile::encodeName(fds + '/' + fd).constData(), target, sizeof target);
            if (length > 0 && QByteArray(target, length).startsWith(QFile::encodeName(env.path() + "/#")))
                return true;
        }
        return false;
    };
    if (writing)
        QVERIFY(QTest::qWaitFor(copying, 20000));
    else
        QVERIFY(QTest::qWaitFor(reading, 20000));
    ::kill(pid_t(cli.processId()), SIGTERM);
    QVERIFY(cli.waitForFinished(20000));
    const QByteArray err = cli.readAllStandardError();
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli.exitCode() == 128 + SIGTERM, err.constData());
    QVERIFY2(err.contains("morlunex-cli: stopped by signal"), err.constData());
    QCOMPARE(QDir(env.path()).entryList({"joined*"}, QDir::Files | QDir::Hidden), QStringList());
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
while [ $# -gt 0 ]; do [ "$1" = -i ] && input=$2; [ "$1" = -b ] && output=$2; shift; done
cat "$input" > "$(dirname "$0")/copy.raw"
cp "$(dirname "$0")/tiny.265" "$output"
)"));
    QVERIFY(TestSupport::writeTinyStream(env.filePath("tiny.265")));

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

void CliTest::report_rowPerPictureMatchingTheTool_data()
{
    QTest::addColumn<QString>("encoder");
    QTest::addColumn<int>("pictures");
    QTest::addColumn<QString>("report");

    QTest::newRow("bundled encoder, JSON") << QString() << 48 << "r.json";
    // The reference encoder codes in a hierarchy of B pictures: coding order is far from
    // display order.
    QTest::newRow("reference encoder, CSV") << TestSupport::referenceTool(QStringLiteral("TAppEncoder")) << 17 << "r.csv";
}

// One row per picture in display order, each with the PSNR-Y the ffmpeg tool measures for that
// picture of the output; the bits add up to the file's size; the summary line's PSNR-Y is the
// tool's within 0.3 dB (the mean of the pictures' PSNR against the PSNR of their mean error).
void CliTest::report_rowPerPictureMatchingTheTool()
{
    QFETCH(QString, encoder);
    QFETCH(int, pictures);
    QFETCH(QString, report);
    if (QTest::currentDataTag() != QByteArray("bundled encoder, JSON") && encoder.isEmpty())
        QSKIP("the reference encoder is not in ../shared/testdata/reference-encoder/bin");

    IsolatedEnvironment env;
    QVERIFY(makeClip(env.filePath("clip.mp4"), 176, 144, pictures));
    QStringList arguments = {"clip.mp4", "-o", "out.265", "--report", report, "--progress", "none"};
    if (!encoder.isEmpty())
        arguments << "-e" << encoder;
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), arguments, 120000, env.path());
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());

    const QList<QJsonObject> rows = reportRows(env.filePath(report));
    const ToolPsnr tool = toolPsnr(env.filePath("out.265"), env.filePath("clip.mp4"), env.filePath("psnr.log"));
    QCOMPARE(TestSupport::probeVideo(env.filePath("out.265")).frames, pictures);
    QCOMPARE(rows.size(), pictures);
    QCOMPARE(tool.pictures.size(), pictures);
    double bits = 0;
    for (int i = 0; i < pictures; ++i) {
        const QJsonObject &row = rows.at(i);
        QCOMPARE(row.value("index").toInt(), i);
        QVERIFY2(std::abs(row.value("psnr_y").toDouble() - tool.pictures.at(i)) <= 0.02,
                 qPrintable(QStringLiteral("picture %1 (POC %2): %3 dB, the tool %4 dB").arg(i)
                                .arg(row.value("poc").toInt()).arg(row.value("psnr_y").toDouble()).arg(tool.pictures.at(i))));
        bits += row.value("bits").toDouble();
    }
    const double bytes = QFileInfo(env.filePath("out.265")).size();
    QVERIFY2(std::abs(bits / 8 - bytes) <= 0.03 * bytes, qPrintable(QStringLiteral("%1 bits, %2 bytes").arg(bits).arg(bytes)));

    const QString last = QString::fromUtf8(run.err.trimmed()).section(QLatin1Char('\n'), -1);
    const QRegularExpressionMatch summary = QRegularExpression(QStringLiteral(
        "^Encoded (\\d+) pictures in \\d+:\\d\\d \\([0-9.]+ fps\\): [0-9.]+ kB, [0-9.]+ kbit/s, PSNR Y ([0-9.]+) U "
        "[0-9.]+ V [0-9.]+ dB \\(lowest Y [0-9.]+ at picture \\d+\\)$")).match(last);
    QVERIFY2(summary.hasMatch(), qPrintable(last));
    QCOMPARE(summary.captured(1).toInt(), pictures);
    QVERIFY2(std::abs(summary.captured(2).toDouble() - tool.whole) <= 0.3, qPrintable(last + " / " + QString::number(tool.whole)));
    if (report.endsWith(QLatin1String(".json"))) {
        const QJsonObject figures = reportSummary(env.filePath(report));
        QCOMPARE(figures.value("bytes").toDouble(), bytes);
        QCOMPARE(figures.value("frame_rate").toDouble(), 25.0);
        QVERIFY(std::abs(figures.value("rate_kbps").toDouble() - bytes * 8 / (pictures / 25.0) / 1000) < 0.001);
        QVERIFY(std::abs(figures.value("psnr_y").toDouble() - tool.whole) <= 0.3);
    }
    QVERIFY(QDir(env.tempPath()).isEmpty());
}

void CliTest::report_fromEncoderWithoutGoodLines_data()
{
    QTest::addColumn<QByteArray>("filter");
    QTest::addColumn<int>("rows");

    QTest::newRow("no picture lines") << QByteArray("> /dev/null") << 0;
    QTest::newRow("every other picture line cut short")
        << QByteArray("| awk '/^POC/ && n++ % 2 { $0 = substr($0, 1, 40) } { print }'") << 6;
}

// An encoder whose picture lines are missing or garbled: the job succeeds, the report holds
// the lines that could be read, and without any a summary alone from the pictures handed over.
void CliTest::report_fromEncoderWithoutGoodLines()
{
    QFETCH(QByteArray, filter);
    QFETCH(int, rows);

    IsolatedEnvironment env;
    QVERIFY(makeClip(env.filePath("clip.mp4"), 64, 48, 12));
    const QByteArray bundled = QFile::encodeName(TestSupport::binDir() + QStringLiteral("/TAppEncoder_hm80.exe"));
    QVERIFY(TestSupport::writeScript(env.filePath("encoder.sh"), "#!/bin/sh\n\"" + bundled + "\" \"$@\" " + filter + "\n"));

    const TestSupport::RunResult run = TestSupport::run(
        cliProgram(), {"clip.mp4", "-e", "./encoder.sh", "--report", "r.json", "--progress", "none"}, 60000, env.path());
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QCOMPARE(TestSupport::probeVideo(env.filePath("clip.265")).frames, 12);
    QCOMPARE(reportRows(env.filePath("r.json")).size(), rows);
    const QJsonObject summary = reportSummary(env.filePath("r.json"));
    QCOMPARE(summary.value("pictures").toInt(), rows > 0 ? rows : 12);
    QCOMPARE(summary.value("psnr_y").isNull(), rows == 0);
    QCOMPARE(summary.value("bytes").toDouble(), double(QFileInfo(env.filePath("clip.265")).size()));
    const QByteArray last = run.err.trimmed().split('\n').last();
    QVERIFY2(last.startsWith("Encoded ") && last.contains("PSNR") == (rows > 0), last.constData());
}

// Four QPs in one run: four bitstreams and four reports beside them, the encoder given each
// QP on its command line, the rate falling as the QP rises, one rate-PSNR line each. Their
// reports then make the anchor of BD-rate runs: against themselves (0 %), against a copy at
// exactly 90 % of the rate (-10 %), and against curves that do not overlap (a usage error).
void CliTest::qpSweep_reportsRateFallingAndBdRateOfThem()
{
    IsolatedEnvironment env;
    QVERIFY(makeClip(env.filePath("clip.mp4"), 96, 64, 12));
    const TestSupport::RunResult sweep = TestSupport::run(
        cliProgram(), {"clip.mp4", "--qp", "22,27,32,37", "-o", "out.265", "--progress", "none"}, 120000, env.path());
    QVERIFY2(sweep.finished && sweep.exitCode == 0, sweep.err.constData());

    const QList<int> qps = {22, 27, 32, 37};
    QStringList anchors, less, apart;
    double previousRate = 1e12;
    const QList<QByteArray> lines = sweep.err.split('\n');
    QList<QByteArray> rateLines;
    for (const QByteArray &line : lines) {
        if (line.startsWith("QP "))
            rateLines << line;
    }
    QCOMPARE(rateLines.size(), 4);
    for (int i = 0; i < qps.size(); ++i) {
        const QString name = QStringLiteral("out_QP%1").arg(qps.at(i));
        QCOMPARE(TestSupport::probeVideo(env.filePath(name + ".265")).frames, 12);
        QVERIFY2(sweep.err.contains(QStringLiteral("-hgt 64 -q %1\n").arg(qps.at(i)).toUtf8()), sweep.err.constData());
        QVERIFY2(rateLines.at(i).startsWith(QStringLiteral("QP %1: ").arg(qps.at(i)).toUtf8())
                     && rateLines.at(i).contains(" kbit/s, PSNR Y ") && rateLines.at(i).contains(name.toUtf8()),
                 rateLines.at(i).constData());

        QJsonObject report = QJsonDocument::fromJson(TestSupport::readFile(env.filePath(name + ".json"))).object();
        QJsonObject summary = report.value("summary").toObject();
        QCOMPARE(summary.value("qp").toInt(), qps.at(i));
        QCOMPARE(summary.value("pictures").toInt(), 12);
        const double rate = summary.value("rate_kbps").toDouble();
        QVERIFY2(rate > 0 && rate < previousRate, qPrintable(QStringLiteral("QP %1: %2 kbit/s").arg(qps.at(i)).arg(rate)));
        previousRate = rate;
        anchors << name + ".json";

        summary.insert("rate_kbps", rate * 0.9);
        report.insert("summary", summary);
        QVERIFY(TestSupport::writeFile(env.filePath(name + "_less.json"), QJsonDocument(report).toJson()));
        less << name + "_less.json";
        summary.insert("psnr_y", summary.value("psnr_y").toDouble() + 30);
        report.insert("summary", summary);
        QVERIFY(TestSupport::writeFile(env.filePath(name + "_apart.json"), QJsonDocument(report).toJson()));
        apart << name + "_apart.json";
    }

    const TestSupport::RunResult same = TestSupport::run(
        cliProgram(), QStringList{"--bd-rate"} + anchors + QStringList{"--vs"} + anchors + QStringList{"--progress", "json"},
        30000, env.path());
    QVERIFY2(same.finished && same.exitCode == 0, same.err.constData());
    QCOMPARE(same.out.count('\n'), 1);
    const QJsonObject figures = QJsonDocument::fromJson(same.out).object();
    for (const char *key : {"bd_rate_y", "bd_rate_u", "bd_rate_v", "bd_psnr_y"})
        QVERIFY2(figures.contains(QLatin1String(key)) && figures.value(QLatin1String(key)).toDouble() == 0, same.out.constData());
    QCOMPARE(figures.value("anchor").toArray().size(), 4);

    const TestSupport::RunResult cheaper = TestSupport::run(
        cliProgram(), QStringList{"--bd-rate"} + anchors + QStringList{"--vs"} + less, 30000, env.path());
    QVERIFY2(cheaper.finished && cheaper.exitCode == 0, cheaper.err.constData());
    QVERIFY2(cheaper.out.startsWith("BD-rate Y -10.00 %, U -10.00 %, V -10.00 %; BD-PSNR Y ")
                 && cheaper.out.endsWith(" dB; BD-rate YUV (6:1:1) -10.00 %\n"), cheaper.out.constData());

    const TestSupport::RunResult disjoint = TestSupport::run(
        cliProgram(), QStringList{"--bd-rate"} + anchors + QStringList{"--vs"} + apart, 30000, env.path());
    QCOMPARE(disjoint.exitCode, 64);
    QVERIFY2(disjoint.err.startsWith("morlunex-cli: no BD-rate for Y: the PSNR ranges do not overlap"),
             disjoint.err.constData());
    QVERIFY(disjoint.out.isEmpty());
}

QTEST_GUILESS_MAIN(CliTest)

#include "tst_cli.moc"
