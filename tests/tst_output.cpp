// The one way from the encoders' bitstreams to the user's file, for one bitstream and for
// segments alike: the join, the rewrite, the report, the mux and the replace, checked with the
// ffmpeg tools; and what is kept, and told, when a step cannot be done.

#include "support/testsupport.h"

#include "output/outputmaker.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

using TestSupport::IsolatedEnvironment;

namespace {

constexpr int pictures = 48, segmentLength = 16;

QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

QString probeField(const QString &path, const QString &field)
{
    const TestSupport::RunResult run =
        TestSupport::run("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=" + field,
                                     "-of", "csv=p=0", path});
    return QString::fromUtf8(run.out).trimmed();
}

// The MD5 of the decoded pictures of a file, or of byte streams read one after another.
QByteArray decodedMd5(const QStringList &files, bool byteStreams)
{
    const QStringList input = byteStreams ? QStringList{"-f", "hevc", "-i", "concat:" + files.join('|')}
                                          : QStringList{"-i", files.first()};
    return TestSupport::run("ffmpeg", QStringList{"-v", "error", "-nostdin"} + input
                                          + QStringList{"-map", "0:v", "-f", "md5", "-"}).out.trimmed();
}

// Rows as an encoder reports them: picture k of a bitstream with k * 100 bits.
QList<PictureRow> rowsOf(int count)
{
    QList<PictureRow> rows;
    for (int k = 0; k < count; ++k) {
        PictureRow row;
        row.index = k;
        row.poc = k;
        row.bits = 100 * (k + 1);
        row.psnrY = 40 + k % 3;
        rows << row;
    }
    return rows;
}

} // namespace

class OutputTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void made_data();
    void made();
    void stepThatCannotBeDone_keepsTheBitstream_data();
    void stepThatCannotBeDone_keepsTheBitstream();

private:
    // A request over copies of the encoded bitstreams (one, or the three segments) in folder.
    OutputRequest request(const QString &folder, bool segments, const QString &output) const;

    IsolatedEnvironment shared{QStringLiteral("shared tmp")};
};

void OutputTest::initTestCase()
{
    const QString clip = shared.filePath("clip.mp4");
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25", "-frames:v",
                                 QString::number(pictures), "-c:v", "libx264", "-g", "16", "-pix_fmt", "yuv420p", clip}));
    // The whole clip, and the same in three segments, as the bundled encoder writes them.
    const TestSupport::RunResult whole =
        TestSupport::run(cliProgram(), {clip, "-q", "-o", shared.filePath("whole.265")});
    QVERIFY2(whole.exitCode == 0, whole.err.constData());
    for (int first = 0; first < pictures; first += segmentLength) {
        const TestSupport::RunResult part = TestSupport::run(
            cliProgram(), {clip, "-q", "--start", QString::number(first), "--frames", QString::number(segmentLength),
                           "-o", shared.filePath(QStringLiteral("part_%1.265").arg(first))});
        QVERIFY2(part.exitCode == 0, part.err.constData());
    }
}

OutputRequest OutputTest::request(const QString &folder, bool segments, const QString &output) const
{
    OutputRequest request;
    const QStringList names = segments ? QStringList{"part_0.265", "part_16.265", "part_32.265"} : QStringList{"whole.265"};
    for (const QString &name : names) {
        request.before = OutputGuard::stamp(folder + "/encoded_" + name);
        QFile::copy(shared.filePath(name), folder + "/encoded_" + name);
        request.bitstreams << folder + "/encoded_" + name;
    }
    // Segments were checked each by itself; one encoder's own file is checked here.
    if (segments)
        request.before.reset();
    request.joined = folder + "/joined.265";
    request.output = folder + "/" + output;
    request.facts.frameRateNum = 30000;
    request.facts.frameRateDen = 1001;
    request.facts.sarNum = 4;
    request.facts.sarDen = 3;
    if (!output.endsWith(".265")) {
        MuxRequest container;
        container.pictures.timeBaseNum = 1001;
        container.pictures.timeBaseDen = 30000;
        request.container = container;
    }
    for (int i = 0; i < names.size(); ++i)
        request.rows << OutputRequest::Rows{qint64(i) * segmentLength, rowsOf(pictures / int(names.size()))};
    request.frameRate = 30000.0 / 1001;
    request.encodingSeconds = 2;
    request.pictures = pictures;
    request.qp = 32;
    return request;
}

void OutputTest::made_data()
{
    QTest::addColumn<bool>("segments");
    QTest::addColumn<QString>("output");
    QTest::newRow("one bitstream") << false << "out.265";
    QTest::newRow("segments") << true << "out.265";
    QTest::newRow("one bitstream into Matroska") << false << "out.mkv";
    QTest::newRow("segments into MP4") << true << "out.mp4";
}

// Every picture once, shown as the facts say, the report's rows at their pictures, and nothing
// left beside the output but what was there.
void OutputTest::made()
{
    QFETCH(bool, segments);
    QFETCH(QString, output);
    IsolatedEnvironment env;
    const QString folder = env.path();
    QVERIFY(TestSupport::writeFile(folder + "/out.265.1", "unrelated"));
    const OutputRequest asked = request(folder, segments, output);
    const OutputResult result = OutputMaker::make(asked);
    QCOMPARE(result.outcome, OutputResult::Made);
    QVERIFY2(result.problem.isEmpty(), qPrintable(result.problem));

    const QString path = folder + "/" + output;
    QCOMPARE(TestSupport::probeVideo(path).frames, pictures);
    QCOMPARE(probeField(path, "codec_name"), QStringLiteral("hevc"));
    QCOMPARE(probeField(path, "sample_aspect_ratio"), QStringLiteral("4:3"));
    if (!asked.container)
        QCOMPARE(probeField(path, "r_frame_rate"), QStringLiteral("30000/1001"));
    // The encoded pictures pass through the join, the rewrite and the mux untouched.
    QStringList encoded;
    for (const QString &bitstream : asked.bitstreams)
        encoded << shared.filePath(QFileInfo(bitstream).fileName().mid(QStringLiteral("encoded_").size()));
    const QByteArray md5 = decodedMd5({path}, false);
    QVERIFY(!md5.isEmpty());
    QCOMPARE(md5, decodedMd5(encoded, true));

    QCOMPARE(result.report.rowCount(), qint64(pictures));
    const QList<PictureRow> rows = result.report.rows();
    QCOMPARE(rows.at(segmentLength).bits, segments ? qint64(100) : qint64(100 * (segmentLength + 1)));
    QCOMPARE(result.report.summary().pictures, qint64(pictures));
    QCOMPARE(result.report.summary().qp, 32);
    QVERIFY(result.report.summary().bytes > 0);
    // The summary names the user's file, not the joined or hidden bitstream it measured.
    QCOMPARE(result.report.summary().output, asked.output);

    if (segments && !asked.container)
        QVERIFY2(result.lines.contains(QStringLiteral("Joined 3 segments into %1.").arg(path)),
                 qPrintable(result.lines.join('\n')));
    // The joined file and a muxed bitstream go; segments stay for their folder to remove.
    QStringList expected{output, "out.265.1"};
    if (segments)
        expected << "encoded_part_0.265" << "encoded_part_16.265" << "encoded_part_32.265";
    expected.sort();
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
}

void OutputTest::stepThatCannotBeDone_keepsTheBitstream_data()
{
    QTest::addColumn<bool>("segments");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("told");
    QTest::newRow("mux fails, one bitstream")
        << false << "no input" << int(OutputResult::MuxFailed) << "The encoded bitstream is kept as";
    QTest::newRow("mux fails, segments")
        << true << "no input" << int(OutputResult::MuxFailed) << "The encoded bitstream is kept as";
    QTest::newRow("stopped while muxing")
        << true << "stop" << int(OutputResult::Stopped) << "Stopped before";
    QTest::newRow("the encoder wrote nothing")
        << false << "unwritten" << int(OutputResult::Unwritten) << "did not write the output file";
    QTest::newRow("a process still writes")
        << false << "writer" << int(OutputResult::MuxFailed) << "was not muxed: the encoder's bitstream was still being written";
}

// A container that cannot be made leaves the encoded bitstream under a name that was free
// (the user's own out.mkv.265 stays as it was), says where once, and leaves the output alone.
void OutputTest::stepThatCannotBeDone_keepsTheBitstream()
{
    QFETCH(bool, segments);
    QFETCH(QString, fault);
    QFETCH(int, outcome);
    QFETCH(QString, told);
    IsolatedEnvironment env;
    const QString folder = env.path();
    QVERIFY(TestSupport::writeFile(folder + "/out.mkv", "the user's older file"));
    QVERIFY(TestSupport::writeFile(folder + "/out.mkv.265", "the user's own file"));
    OutputRequest asked = request(folder, segments, "out.mkv");
    if (fault == "no input")
        asked.container->input = folder + "/gone.mp4";
    if (fault == "unwritten")
        asked.before = OutputGuard::stamp(asked.bitstreams.first());
    QProcess writer;
    if (fault == "writer") {
        writer.start("sh", {"-c", "exec 3>>\"$0\"; sleep 6", asked.bitstreams.first()});
        QVERIFY(writer.waitForStarted(5000));
        QVERIFY(QTest::qWaitFor([&] { return !OutputGuard::writersOf(asked.bitstreams.first()).isEmpty(); }, 5000));
    }
    std::atomic_bool stop{fault == "stop"};
    const OutputResult result = OutputMaker::make(asked, &stop);
    writer.kill();
    writer.waitForFinished(5000);

    QCOMPARE(int(result.outcome), outcome);
    const QString all = result.problem + "\n" + result.lines.join('\n');
    QVERIFY2(all.contains(told), qPrintable(all));
    QCOMPARE(all.count("kept as"), 1);
    QCOMPARE(result.kept, folder + "/out.mkv.1.265");
    QCOMPARE(TestSupport::probeVideo(result.kept).frames, pictures);
    QCOMPARE(TestSupport::readFile(folder + "/out.mkv"), QByteArray("the user's older file"));
    QCOMPARE(TestSupport::readFile(folder + "/out.mkv.265"), QByteArray("the user's own file"));
}

QTEST_GUILESS_MAIN(OutputTest)
#include "tst_output.moc"
