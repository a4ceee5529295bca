// Segments of the inputs people really have: raw sequences in 8 and 10 bits, 4:2:0 and 4:4:4,
// read at their pictures' byte offsets, spans of them, and the real-file shapes whose
// containers do not state their video's own picture count (or state one the pictures do not
// meet). In every case the encoders of the segments together receive every picture once, in
// order, byte for byte as the file holds it or as the ffmpeg tool decodes it; the reference
// decoder checks every picture of a raw 10-bit sequence encoded by the reference encoder.

#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>

using TestSupport::IsolatedEnvironment;

namespace {

constexpr int width = 64, height = 48;

QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

// The bundled encoder behind a wrapper that first keeps a copy of what it is handed (in got/,
// named after the bitstream it writes, so that segments sort by their first picture), then
// encodes that copy: the job still gets a real bitstream to check and join. extra runs before
// the copy, with $dir and $out set.
bool writeCopyingEncoder(const QString &folder, const QByteArray &extra = QByteArray())
{
    return QDir(folder).mkpath(QStringLiteral("got"))
        && TestSupport::writeScript(
            folder + "/copying.sh",
            "#!/bin/sh\n"
            "dir=$(dirname \"$0\")\n"
            "prev=; in=; out=\n"
            "for a in \"$@\"; do case $prev in -i) in=$a;; -b) out=$a;; esac; prev=$a; done\n"
            + extra +
            "copy=\"$dir/got/$(basename \"$out\")\"\n"
            "cat \"$in\" > \"$copy\" || exit 3\n"
            "n=$#\n"
            "for a in \"$@\"; do [ \"$a\" = \"$in\" ] && a=$copy; set -- \"$@\" \"$a\"; done\n"
            "shift $n\n"
            "exec \"" + QFile::encodeName(TestSupport::binDir()) + "/morlunex-hevc-encoder\" \"$@\" --MlxPreset=ultrafast\n");
}

// A raw sequence of the ffmpeg tool's test pictures in the folder, in the tool's pixel format;
// its path, empty when it could not be made.
QString rawSequence(const QString &folder, int pictures, const QString &pixelFormat)
{
    const QString sequence = folder + QStringLiteral("/seq_%1x%2.yuv").arg(width).arg(height);
    const bool made = TestSupport::ffmpeg({"-f", "lavfi", "-i", QStringLiteral("testsrc2=size=%1x%2:rate=25").arg(width).arg(height),
                                           "-frames:v", QString::number(pictures), "-pix_fmt", pixelFormat, "-f",
                                           "rawvideo", sequence});
    return made ? sequence : QString();
}

// What every encoder received, in the order of the bitstreams' names.
QByteArray received(const QString &folder)
{
    QByteArray all;
    const QDir got(folder + "/got");
    for (const QString &name : got.entryList(QDir::Files, QDir::Name))
        all += TestSupport::readFile(got.filePath(name));
    return all;
}

// What the encoders of segments `length` pictures long receive of these pictures, in order:
// each segment's, and but for the last the next one's first too, which the seam's overlap
// codes twice (the script is not the bundled encoder, and the configuration allows it).
QByteArray withOverlaps(const QByteArray &pictures, int pictureBytes, int length)
{
    const qsizetype segmentBytes = qsizetype(length) * pictureBytes;
    QByteArray all;
    for (qsizetype at = 0; at < pictures.size(); at += segmentBytes)
        all += pictures.mid(at, at + segmentBytes < pictures.size() ? segmentBytes + pictureBytes : segmentBytes);
    return all;
}

int receivedRuns(const QString &folder)
{
    return QDir(folder + "/got").entryList(QDir::Files).size();
}

// The lines that start a segment's encoder ("Segment 3/10: pictures 32 to 47.").
int segmentStarts(const QByteArray &log)
{
    static const QRegularExpression start(QStringLiteral("^Segment [0-9]+/[0-9]+: pictures"),
                                          QRegularExpression::MultilineOption);
    int starts = 0;
    for (QRegularExpressionMatchIterator match = start.globalMatch(QString::fromUtf8(log)); match.hasNext(); match.next())
        ++starts;
    return starts;
}

} // namespace

class SegmentInputsTest : public QObject
{
    Q_OBJECT

private slots:
    void rawInput_encodersGetTheFilesBytes_data();
    void rawInput_encodersGetTheFilesBytes();
    void fileShapes_everyPictureOnceInOrder_data();
    void fileShapes_everyPictureOnceInOrder();
    void referenceEncoder_rawTenBitSegmentsPassTheHashCheck();
    void rawInputCutShortWhileEncoded_endsWithoutLooping_data();
    void rawInputCutShortWhileEncoded_endsWithoutLooping();
};

void SegmentInputsTest::rawInput_encodersGetTheFilesBytes_data()
{
    QTest::addColumn<QString>("pixelFormat");   // the ffmpeg tool's name for the file's layout
    QTest::addColumn<QByteArray>("configKeys");
    QTest::addColumn<int>("pictureBytes");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("runs");
    QTest::addColumn<int>("leftover");          // bytes after the last whole picture

    const int bytes420 = width * height * 3 / 2;
    const QStringList twoEncoders{"-j", "2", "--segment-length", "16"};
    QTest::newRow("8-bit 4:2:0, two encoders") << "yuv420p" << QByteArray() << bytes420 << twoEncoders << 0 << 50 << 4 << 0;
    QTest::newRow("10-bit 4:2:0, two encoders")
        << "yuv420p10le" << QByteArray("InputBitDepth : 10\nInternalBitDepth : 10\n") << 2 * bytes420
        << twoEncoders << 0 << 50 << 4 << 0;
    QTest::newRow("8-bit 4:4:4, two encoders")
        << "yuv444p" << QByteArray("InputChromaFormat : 444\n") << 3 * width * height << twoEncoders
        << 0 << 50 << 4 << 0;
    QTest::newRow("8-bit 4:2:0, a span in one piece")
        << "yuv420p" << QByteArray() << bytes420 << QStringList{"--start", "7", "--frames", "20"} << 7 << 20 << 1 << 0;
    QTest::newRow("10-bit 4:2:0, a span in segments")
        << "yuv420p10le" << QByteArray("InputBitDepth : 10\nInternalBitDepth : 10\n") << 2 * bytes420
        << QStringList{"--start", "5", "--frames", "30", "-j", "2", "--segment-length", "16"} << 5 << 30 << 2 << 0;
    QTest::newRow("a part picture at the end") << "yuv420p" << QByteArray() << bytes420 << twoEncoders << 0 << 50 << 4
                                               << 1000;
}

// The concatenation of what every segment's encoder received is the file's bytes for those
// pictures, and the output holds that many pictures; a part picture at the end is told, in
// one line, and left out.
void SegmentInputsTest::rawInput_encodersGetTheFilesBytes()
{
    QFETCH(QString, pixelFormat);
    QFETCH(QByteArray, configKeys);
    QFETCH(int, pictureBytes);
    QFETCH(QStringList, options);
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(int, runs);
    QFETCH(int, leftover);

    IsolatedEnvironment env;
    const QString folder = env.path();
    const QString sequence = rawSequence(folder, 50, pixelFormat);
    QVERIFY(!sequence.isEmpty());
    QByteArray file = TestSupport::readFile(sequence);
    QCOMPARE(file.size(), 50 * pictureBytes);
    if (leftover > 0)
        QVERIFY(TestSupport::writeFile(sequence, file + file.left(leftover)));
    QVERIFY(TestSupport::writeFile(folder + "/job.cfg",
                                   TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg") + configKeys));
    QVERIFY(writeCopyingEncoder(folder));

    const TestSupport::RunResult run = TestSupport::run(
        cliProgram(), QStringList{sequence, "-o", "out.265", "-e", "./copying.sh", "-c", "job.cfg", "--fps", "25"} + options,
        120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QCOMPARE(receivedRuns(folder), runs);
    QVERIFY(received(folder) == file.mid(qsizetype(first) * pictureBytes, qsizetype(count) * pictureBytes));
    QCOMPARE(TestSupport::probeVideo(folder + "/out.265").frames, count);
    const QByteArray told = QStringLiteral("holds 50 whole pictures of %1 bytes and %2 bytes more, which make no "
                                           "picture: they are left out.").arg(pictureBytes).arg(leftover).toUtf8();
    QCOMPARE(run.err.count(told), leftover > 0 ? 1 : 0);
    QVERIFY(!QFileInfo::exists(folder + "/out.265.parts"));
}

void SegmentInputsTest::fileShapes_everyPictureOnceInOrder_data()
{
    QTest::addColumn<QString>("name");
    // How the ffmpeg tool makes the file, in steps; "%1" is the folder.
    QTest::addColumn<QList<QStringList>>("steps");

    const QString source = QStringLiteral("testsrc2=size=%1x%2:rate=30").arg(width).arg(height);
    QTest::newRow("WebM whose sound lasts 10 s longer than its video")
        << "web.webm"
        << QList<QStringList>{{"-f", "lavfi", "-i", source + ":duration=5", "-f", "lavfi", "-i", "sine=duration=15",
                               "-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-g", "30",
                               "-c:a", "libopus", "%1/web.webm"}};
    QTest::newRow("Matroska without cues (written to a pipe)")
        << "nocues.mkv"
        << QList<QStringList>{{"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=24000/1001", "-frames:v", "150",
                               "-c:v", "libx264", "-g", "24", "-f", "matroska", "pipe:"}};
    QTest::newRow("MPEG-TS")
        << "clip.ts"
        << QList<QStringList>{{"-f", "lavfi", "-i", source, "-frames:v", "150", "-c:v", "libx264", "-g", "25", "%1/clip.ts"}};
    QTest::newRow("MP4 with an edit list")
        << "edited.mp4"
        << QList<QStringList>{{"-f", "lavfi", "-i", source, "-frames:v", "150", "-c:v", "libx264", "-g", "25", "%1/full.mp4"},
                              {"-ss", "0.5", "-i", "%1/full.mp4", "-c", "copy", "-t", "4", "%1/edited.mp4"}};
    QTest::newRow("pictures of changing length")
        << "vfr.mkv"
        << QList<QStringList>{{"-f", "lavfi", "-i", source + ",setpts='N/30/TB+0.02*sin(N)/TB'", "-frames:v", "120",
                               "-c:v", "libx264", "-g", "20", "-fps_mode", "vfr", "%1/vfr.mkv"}};
    QTest::newRow("sound as the first stream")
        << "soundfirst.mp4"
        << QList<QStringList>{{"-f", "lavfi", "-i", "sine=duration=5", "-f", "lavfi", "-i", source + ":duration=4",
                               "-map", "0", "-map", "1", "-c:v", "libx264", "-g", "25", "-c:a", "aac", "%1/soundfirst.mp4"}};
}

// Each shape through two encoders in segments: what they received, in order, is the ffmpeg
// tool's own decode of the file, picture for picture (each seam's picture twice), and the
// output holds every picture once.
void SegmentInputsTest::fileShapes_everyPictureOnceInOrder()
{
    QFETCH(QString, name);
    QFETCH(QList<QStringList>, steps);

    IsolatedEnvironment env;
    const QString folder = env.path();
    for (QStringList step : steps) {
        step.replaceInStrings(QStringLiteral("%1"), folder);
        if (step.last() == QLatin1String("pipe:")) {
            // A muxer writing to a pipe cannot go back to write an index.
            const QStringList shell{"-c", "exec ffmpeg -nostdin -v error \"$@\" > \"$0\"", folder + "/" + name};
            const TestSupport::RunResult made = TestSupport::run("sh", shell + step);
            QVERIFY2(made.finished && made.exitCode == 0, made.err.constData());
        } else {
            QVERIFY(TestSupport::ffmpeg(step));
        }
    }
    const TestSupport::RunResult decoded = TestSupport::run(
        "ffmpeg", {"-nostdin", "-v", "error", "-i", folder + "/" + name, "-map", "0:v:0", "-fps_mode", "passthrough",
                   "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"});
    QVERIFY(decoded.finished && decoded.exitCode == 0);
    const int pictureBytes = width * height * 3 / 2;
    const int pictures = int(decoded.out.size() / pictureBytes);
    QVERIFY(pictures >= 100);
    QVERIFY(writeCopyingEncoder(folder));

    const TestSupport::RunResult run = TestSupport::run(
        cliProgram(), {name, "-o", "out.265", "-e", "./copying.sh", "-j", "2", "--segment-length", "32"}, 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(receivedRuns(folder) >= 3, qPrintable(QString::number(receivedRuns(folder))));
    const QByteArray got = received(folder);
    const QByteArray expected = withOverlaps(decoded.out, pictureBytes, 32);
    QCOMPARE(got.size(), expected.size());
    QVERIFY(got == expected);
    QCOMPARE(TestSupport::probeVideo(folder + "/out.265").frames, pictures);
    QVERIFY2(!run.err.contains("declares") && !run.err.contains("--start"), run.err.constData());
}

// The reference encoder on a raw 10-bit sequence in two segments at once: its own decoder finds
// every picture's hash right in the joined stream.
void SegmentInputsTest::referenceEncoder_rawTenBitSegmentsPassTheHashCheck()
{
    const QString encoder = TestSupport::referenceTool(QStringLiteral("TAppEncoder"));
    if (encoder.isEmpty() || TestSupport::referenceTool(QStringLiteral("TAppDecoder")).isEmpty())
        QSKIP("The reference encoder and decoder are not there (set MORLUNEX_REFERENCE_BIN)");
    IsolatedEnvironment env;
    const QString folder = env.path();
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25", "-frames:v", "16", "-pix_fmt",
                                 "yuv420p10le", "-f", "rawvideo", folder + "/seq_176x144_10bit.yuv"}));
    QVERIFY(TestSupport::writeFile(folder + "/hash.cfg", TestSupport::readFile(TestSupport::binDir() + "/hevczent10.cfg")
                                                             + "SEIDecodedPictureHash : 1\n"));
    const TestSupport::RunResult run = TestSupport::run(
        cliProgram(), {"seq_176x144_10bit.yuv", "--size", "176x144", "--fps", "25", "-o", "out.265", "-e", encoder, "-c",
                       "hash.cfg", "-j", "2", "--segment-length", "8"},
        300000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const TestSupport::HashCheck check = TestSupport::referenceHashCheck(folder + "/out.265");
    qInfo("%s", qPrintable(check.tail));
    QCOMPARE(check.pictures, 16);
    QCOMPARE(check.matched, 16);
    QCOMPARE(check.mismatched, 0);
}

void SegmentInputsTest::rawInputCutShortWhileEncoded_endsWithoutLooping_data()
{
    QTest::addColumn<QString>("jobs");
    QTest::addColumn<QByteArray>("held");           // the segments whose encoders wait for the cut (shell pattern)
    QTest::addColumn<QStringList>("finishedFirst"); // the records there before the cut
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("told");

    // Segments past the new end are encoded already: the job cannot end with the pictures there
    // are, and fails, naming the input; a second run encodes the input as it is now.
    QTest::newRow("later segments encoded, two encoders")
        << "2" << QByteArray("*part_0000096*|*part_00001*") << QStringList{"part_0000064.json", "part_0000080.json"}
        << 66 << "has no picture 50 any more, yet segment 4/10 was encoded from its pictures 48 to 63 before";
    // Nothing past the new end is encoded yet: the job ends with the pictures there are.
    QTest::newRow("the segment with the new end running, one encoder")
        << "1" << QByteArray("*part_00000[4-9]*|*part_00001*") << QStringList{"part_0000032.json"} << 0
        << "The input ends after picture 49: segments 5/10 to 10/10 (pictures 64 on), which start past its end, "
           "are dropped.";
}

// A raw input cut from 160 pictures to 50 while the job runs, as a file still being written or
// replaced may be: the job ends, with the pictures there are or with a failure that says why,
// instead of starting the segments past the new end again and again; whatever it ends with,
// the next run encodes exactly the file's 50 pictures.
void SegmentInputsTest::rawInputCutShortWhileEncoded_endsWithoutLooping()
{
    QFETCH(QString, jobs);
    QFETCH(QByteArray, held);
    QFETCH(QStringList, finishedFirst);
    QFETCH(int, status);
    QFETCH(QString, told);

    IsolatedEnvironment env;
    const QString folder = env.path();
    const QString sequence = rawSequence(folder, 160, "yuv420p");
    QVERIFY(!sequence.isEmpty());
    const int pictureBytes = width * height * 3 / 2;
    const QByteArray kept = TestSupport::readFile(sequence).left(50 * pictureBytes);
    // The held encoders wait (a minute at most) until the file is cut.
    QVERIFY(writeCopyingEncoder(folder, "case \"$out\" in " + held + ") n=0; while [ ! -f \"$dir/cut\" ] && "
                                        "[ $n -lt 1200 ]; do sleep 0.05; n=$((n+1)); done;; esac\n"));
    const QStringList arguments{sequence, "-o", "out.265", "-e", "./copying.sh", "--fps", "25", "-j", jobs,
                                "--segment-length", "16", "--progress", "none"};
    QProcess cli;
    cli.setWorkingDirectory(folder);
    cli.start(cliProgram(), arguments);
    QVERIFY(cli.waitForStarted(10000));
    QVERIFY2(QTest::qWaitFor([&] {
        return std::all_of(finishedFirst.begin(), finishedFirst.end(), [&](const QString &record) {
            return QFileInfo::exists(folder + "/out.265.parts/" + record);
        });
    }, 120000), cli.readAllStandardError().constData());
    QVERIFY(QFile(sequence).resize(50 * pictureBytes));
    QVERIFY(TestSupport::writeFile(folder + "/cut", ""));
    QVERIFY(cli.waitForFinished(120000));
    const QByteArray err = cli.readAllStandardError();
    QVERIFY2(cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == status, err.constData());
    QVERIFY2(err.contains(told.toUtf8()), err.constData());
    QVERIFY2(segmentStarts(err) <= 10, err.constData());

    if (status != 0) {
        QVERIFY(QDir(folder + "/got").removeRecursively() && QDir(folder).mkdir("got"));
        const TestSupport::RunResult again = TestSupport::run(cliProgram(), arguments, 120000, folder);
        QVERIFY2(again.finished && again.exitCode == 0, again.err.constData());
        QVERIFY2(again.err.contains("were discarded: the input has changed since"), again.err.constData());
    }
    QVERIFY(received(folder) == kept);
    QCOMPARE(TestSupport::probeVideo(folder + "/out.265").frames, 50);
    QVERIFY(!QFileInfo::exists(folder + "/out.265.parts"));
    QVERIFY(QDir(env.tempPath()).isEmpty());
}

QTEST_GUILESS_MAIN(SegmentInputsTest)
#include "tst_segmentinputs.moc"
