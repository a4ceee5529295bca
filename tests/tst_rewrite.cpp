#include "support/testsupport.h"

#include "bitstream/seiwriter.h"
#include "hevc/hevcbytestream.h"
#include "hevc/hevccodec.h"
#include "hevc/outputrewriter.h"
#include "join/segmentjoiner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using TestSupport::IsolatedEnvironment;

Q_DECLARE_METATYPE(OutputFacts)

namespace {

OutputFacts shownAt(int width, int height)
{
    OutputFacts facts;
    facts.shownWidth = width;
    facts.shownHeight = height;
    return facts;
}

// HDR10 metadata as a grading display states it; a minimum luminance of 0.0001 cd/m2 puts three
// zero bytes and a one into the payload, which only emulation prevention keeps from forming a
// start code.
OutputFacts hdr10()
{
    OutputFacts facts;
    MasteringDisplay display;
    const quint16 x[3] = {13250, 7500, 34000}, y[3] = {34500, 3000, 16000};
    std::copy(x, x + 3, display.primariesX);
    std::copy(y, y + 3, display.primariesY);
    display.whitePointX = 15635;
    display.whitePointY = 16450;
    display.maxLuminance = 10000000;
    display.minLuminance = 1;
    facts.masteringDisplay = display;
    facts.contentLightLevel = ContentLightLevel{1000, 400};
    return facts;
}

OutputFacts withRate(int num, int den)
{
    OutputFacts facts;
    facts.frameRateNum = num;
    facts.frameRateDen = den;
    return facts;
}

// An HEVC stream made by the ffmpeg tool from one of its test sources, padded from
// width x height to multiples of 16 as the transcoder does.
bool encode(const QString &path, const QString &source, int width, int height, int frames,
            const QString &x265 = QString())
{
    const int paddedW = (width + 15) / 16 * 16, paddedH = (height + 15) / 16 * 16;
    return TestSupport::ffmpeg({"-f", "lavfi", "-i", QStringLiteral("%1=size=%2x%3:rate=25").arg(source).arg(width).arg(height),
                                "-frames:v", QString::number(frames),
                                "-vf", QStringLiteral("pad=%1:%2").arg(paddedW).arg(paddedH),
                                "-pix_fmt", "yuv420p", "-c:v", "libx265", "-preset", "ultrafast",
                                "-x265-params", QStringLiteral("log-level=error") + x265, "-f", "hevc", path});
}

QJsonObject probeStream(const QString &path)
{
    const TestSupport::RunResult result = TestSupport::run(
        QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", "v:0", "-show_streams", "-of", "json", path});
    const QJsonArray streams = QJsonDocument::fromJson(result.out).object().value("streams").toArray();
    return streams.isEmpty() ? QJsonObject() : streams.first().toObject();
}

// The MD5 of every decoded picture, in output order, as the ffmpeg tool computes them.
QStringList pictureHashes(const QString &path, const QString &filter = QString())
{
    QStringList arguments{"-nostdin", "-v", "error", "-i", path};
    if (!filter.isEmpty())
        arguments << "-vf" << filter;
    arguments << "-fps_mode" << "passthrough" << "-f" << "framemd5" << "-";
    const TestSupport::RunResult result = TestSupport::run(QStringLiteral("ffmpeg"), arguments);
    QStringList hashes;
    if (!result.finished || result.exitCode != 0)
        return hashes;
    for (const QByteArray &line : result.out.split('\n'))
        if (!line.isEmpty() && !line.startsWith('#'))
            hashes << QString::fromLatin1(line.split(',').last().trimmed());
    return hashes;
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::System | QDir::Hidden, QDir::Name);
}

// Offset of the n-th (0-based) start code followed by a NAL unit of a type below `below`
// that is `type` (or any, when type is -1); -1 when there is none.
qsizetype startCodeOf(const QByteArray &stream, int type, int n, int below = 64)
{
    for (qsizetype at = stream.indexOf(QByteArray("\0\0\1", 3)); at >= 0 && at + 3 < stream.size();
         at = stream.indexOf(QByteArray("\0\0\1", 3), at + 3)) {
        const int found = HevcCodec::instance().header(stream.constData() + at + 3).type;
        if ((found == type || (type < 0 && found < below)) && n-- == 0)
            return at;
    }
    return -1;
}

QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

// Where a stream's last slice begins (its start code) and ends (the start code of the unit
// after it, or the end of the stream).
struct LastSlice
{
    qsizetype start = -1;
    qsizetype end = -1;
};

LastSlice lastSlice(const QByteArray &stream)
{
    LastSlice slice;
    const QByteArray startCode("\0\0\1", 3);
    for (qsizetype at = stream.indexOf(startCode); at >= 0 && at + 3 < stream.size(); at = stream.indexOf(startCode, at + 3)) {
        if (slice.start >= 0 && slice.end < 0)
            slice.end = at;
        const Codec &hevc = HevcCodec::instance();
        if (hevc.kind(hevc.header(stream.constData() + at + 3).type) == Codec::Kind::Slice) {
            slice.start = at;
            slice.end = -1;
        }
    }
    if (slice.end < 0)
        slice.end = stream.size();
    return slice;
}

// Places to cut a segment inside its last access unit (a B picture whose one slice is all of
// it, but for the picture hash SEI after the slice where the encoder writes one).
enum CutPlace { AfterStartCode, InNalUnitHeader, InSliceHeader, HalfTheSlice, BeforeSliceEnd, HashCutOff, LastByte };

qsizetype cutOffset(const QByteArray &stream, int place)
{
    const LastSlice slice = lastSlice(stream);
    switch (place) {
    case AfterStartCode: return slice.start + 3;
    case InNalUnitHeader: return slice.start + 4;
    case InSliceHeader: return slice.start + 7;
    case HalfTheSlice: return (slice.start + slice.end) / 2;
    case BeforeSliceEnd: return slice.end - 16;
    case HashCutOff: return slice.end < stream.size() ? slice.end : -1;
    default: return stream.size() - 1;
    }
}

} // namespace

class RewriteTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rewrite_peersReadWhatWasSet_data();
    void rewrite_peersReadWhatWasSet();
    void rewrite_unreadableStreamLeftUntouched_data();
    void rewrite_unreadableStreamLeftUntouched();
    void rewrite_refusesToDropUnits_data();
    void rewrite_refusesToDropUnits();
    void rewrite_keepsModeOfTheFile();
    void fullDisk_leavesEveryFileAsItWas();
    void join_decodesAsEachSegmentAlone();
    void join_refusesUnfitSegments_data();
    void join_refusesUnfitSegments();
    void join_refusesSegmentAsOutput();
    void join_refusesSegmentCutInItsLastPicture_data();
    void join_refusesSegmentCutInItsLastPicture();
    void join_wholeEncodedSegmentsPassTheReferenceDecoder();
    void join_checksEveryKindOfPictureHash_data();
    void join_checksEveryKindOfPictureHash();
    void hdrSei_reachesEveryRandomAccessPicture_data();
    void hdrSei_reachesEveryRandomAccessPicture();
    void seiWriter_escapesAndCodesSizes_data();
    void seiWriter_escapesAndCodesSizes();

private:
    QString freshFolder();
    void encodeSegments();

    IsolatedEnvironment env;
    QString padded;          // 1920x1080 pictures coded as 1920x1088
    QString joinFolder;      // segments for the join tests
    // Segments of a 176x144 clip made by the bundled encoder through morlunex-cli: pictures 0 to
    // 15 and 16 to 31 by --start/--frames runs, in plain/ and (writing the picture hash SEI)
    // hashed/; and a job's own part_0000000.265 with its record, in job/out.265.parts/.
    QString encodedFolder;
    int folders = 0;
};

void RewriteTest::initTestCase()
{
    QVERIFY(env.isValid());
    padded = env.filePath(QStringLiteral("padded.265"));
    QVERIFY(encode(padded, QStringLiteral("testsrc2"), 1920, 1080, 6));

    // Segments of 320x232 pictures coded as 320x240. The middle one is cut from an open-GOP
    // stream at its second keyframe, so it opens with a CRA picture whose leading pictures
    // refer to pictures that are not in the segment.
    joinFolder = env.filePath(QStringLiteral("segments"));
    QVERIFY(QDir().mkpath(joinFolder));
    const QString open = env.filePath(QStringLiteral("open.265"));
    QVERIFY(encode(joinFolder + "/a.265", QStringLiteral("testsrc2"), 320, 232, 8, ":bframes=3"));
    QVERIFY(encode(open, QStringLiteral("rgbtestsrc"), 320, 232, 20,
                   ":keyint=8:min-keyint=8:scenecut=0:open-gop=1:bframes=3:repeat-headers=1"));
    QVERIFY(encode(joinFolder + "/c.265", QStringLiteral("smptebars"), 320, 232, 5));
    QVERIFY(encode(joinFolder + "/other size.265", QStringLiteral("testsrc2"), 352, 288, 3));
    const QByteArray openBytes = TestSupport::readFile(open);
    const qsizetype secondKeyframe = startCodeOf(openBytes, 32, 1);
    QVERIFY(secondKeyframe > 0);
    const QByteArray cut = openBytes.mid(secondKeyframe);
    QVERIFY(startCodeOf(cut, 21, 0) > 0);                                   // a CRA picture
    QVERIFY(startCodeOf(cut, 8, 0) > 0 || startCodeOf(cut, 9, 0) > 0);      // with RASL pictures
    QVERIFY(TestSupport::writeFile(joinFolder + "/b.265", cut));

    // The tables cut a.265 at its first slice and at its first trailing picture.
    const QByteArray a = TestSupport::readFile(joinFolder + "/a.265");
    QVERIFY(startCodeOf(a, -1, 0, 32) > 0 && startCodeOf(a, 1, 0) > startCodeOf(a, -1, 0, 32));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25", "-frames:v", "2",
                                 "-pix_fmt", "yuv420p", "-c:v", "libx264", "-f", "h264",
                                 env.filePath(QStringLiteral("other codec.264"))}));
    encodeSegments();
}

void RewriteTest::encodeSegments()
{
    encodedFolder = env.filePath(QStringLiteral("encoded"));
    const QString clip = encodedFolder + QStringLiteral("/clip.mp4");
    QVERIFY(QDir().mkpath(encodedFolder + "/plain") && QDir().mkpath(encodedFolder + "/hashed")
            && QDir().mkpath(encodedFolder + "/job"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25", "-frames:v", "32", "-g", "16",
                                 "-pix_fmt", "yuv420p", "-c:v", "libx264", clip}));
    const QByteArray config = TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg");
    QVERIFY(TestSupport::writeFile(encodedFolder + "/hashed.cfg", config + "MlxX265Params : hash=1\n"));
    for (const QString kind : {"plain", "hashed"}) {
        for (const QString first : {"0", "16"}) {
            const QString name = QStringLiteral("%1/part_%2.265").arg(kind).arg(first.toInt(), 7, 10, QLatin1Char('0'));
            QStringList arguments{"-q", "--start", first, "--frames", "16", "-o", name, clip};
            if (kind == "hashed")
                arguments << "-c" << "hashed.cfg";
            const TestSupport::RunResult run = TestSupport::run(cliProgram(), arguments, 120000, encodedFolder);
            QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
        }
    }
    // A job of two segments whose second encoder fails keeps the first with its record.
    QVERIFY(TestSupport::writeScript(encodedFolder + "/job/encoder.sh",
                                     "#!/bin/sh\ncase \"$*\" in *part_0000016*) exit 9;; esac\nexec \""
                                         + QFile::encodeName(TestSupport::binDir()) + "/morlunex-hevc-encoder\" \"$@\"\n"));
    const TestSupport::RunResult job = TestSupport::run(
        cliProgram(), {"-q", "-e", "job/encoder.sh", "-j", "1", "--segment-length", "16", "-o", "job/out.265", clip},
        120000, encodedFolder);
    QVERIFY2(job.finished && job.exitCode == 9, job.err.constData());
    QVERIFY(QFileInfo::exists(encodedFolder + "/job/out.265.parts/part_0000000.json"));
}

QString RewriteTest::freshFolder()
{
    const QString folder = env.filePath(QStringLiteral("case %1").arg(++folders));
    QDir().mkpath(folder);
    return folder;
}

void RewriteTest::rewrite_peersReadWhatWasSet_data()
{
    QTest::addColumn<OutputFacts>("facts");
    QTest::addColumn<bool>("rewritten");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("sar");
    QTest::addColumn<QString>("range");
    QTest::addColumn<QString>("primaries");

    OutputFacts all = shownAt(1920, 1080);
    all.frameRateNum = 30000;
    all.frameRateDen = 1001;
    all.sarNum = 32;
    all.sarDen = 27;
    all.fullRange = true;
    all.colourPrimaries = all.transferCharacteristics = all.matrixCoefficients = 1;
    OutputFacts sar;
    sar.sarNum = 64;
    sar.sarDen = 54;
    OutputFacts fullRange;
    fullRange.fullRange = true;
    OutputFacts bt709;
    bt709.colourPrimaries = bt709.transferCharacteristics = bt709.matrixCoefficients = 1;

    // The stream as encoded: 1920x1088, 25/1, 1:1, limited range, no colour description.
    QTest::newRow("padding rows cropped") << shownAt(1920, 1080) << true
        << "Output shown at 1920x1080 (8 rows of padding cropped)" << 1920 << 1080 << "25/1" << "1:1" << "tv" << "";
    QTest::newRow("odd size: no picture sample hidden") << shownAt(1917, 1081) << true
        << "Output shown at 1918x1082 (2 columns and 6 rows of padding cropped, "
           "1 column and 1 row left: 4:2:0 crops in steps of 2)"
        << 1918 << 1082 << "25/1" << "1:1" << "tv" << "";
    QTest::newRow("fractional rate") << withRate(30000, 1001) << true
        << "Output set to 30000/1001 fps" << 1920 << 1088 << "30000/1001" << "1:1" << "tv" << "";
    QTest::newRow("whole rate in lowest terms") << withRate(60, 2) << true
        << "Output set to 30 fps" << 1920 << 1088 << "30/1" << "1:1" << "tv" << "";
    QTest::newRow("anamorphic samples") << sar << true
        << "Output set to SAR 32:27" << 1920 << 1088 << "25/1" << "32:27" << "tv" << "";
    QTest::newRow("full range") << fullRange << true
        << "Output set to full range" << 1920 << 1088 << "25/1" << "1:1" << "pc" << "";
    QTest::newRow("BT.709 colour") << bt709 << true
        << "Output set to BT.709 colour" << 1920 << 1088 << "25/1" << "1:1" << "tv" << "bt709";
    QTest::newRow("everything at once") << all << true
        << "Output shown at 1920x1080 (8 rows of padding cropped), 30000/1001 fps, SAR 32:27, "
           "full range, BT.709 colour"
        << 1920 << 1080 << "30000/1001" << "32:27" << "pc" << "bt709";
    QTest::newRow("nothing to change") << shownAt(1920, 1088) << false
        << "Output left as encoded: nothing to change" << 1920 << 1088 << "25/1" << "1:1" << "tv" << "";
}

void RewriteTest::rewrite_peersReadWhatWasSet()
{
    QFETCH(OutputFacts, facts);
    QFETCH(bool, rewritten);
    QFETCH(QString, summary);
    QFETCH(int, width);
    QFETCH(int, height);

    const QString folder = freshFolder();
    const QString output = folder + QStringLiteral("/out.265");
    QVERIFY(QFile::copy(padded, output));

    const RewriteResult result = OutputRewriter::rewrite(output, facts);
    QCOMPARE(result.error, QString());
    QCOMPARE(result.rewritten, rewritten);
    QCOMPARE(result.summary, summary);
    QCOMPARE(filesIn(folder), QStringList{"out.265"});
    if (!rewritten)
        QCOMPARE(TestSupport::readFile(output), TestSupport::readFile(padded));

    const QJsonObject stream = probeStream(output);
    QCOMPARE(stream.value("codec_name").toString(), QStringLiteral("hevc"));
    QCOMPARE(stream.value("width").toInt(), width);
    QCOMPARE(stream.value("height").toInt(), height);
    QTEST(stream.value("r_frame_rate").toString(), "rate");
    QTEST(stream.value("sample_aspect_ratio").toString(), "sar");
    QTEST(stream.value("color_range").toString(), "range");
    QTEST(stream.value("color_primaries").toString(), "primaries");

    // The coded pictures are untouched: every decoded picture equals the original's, cropped.
    const QStringList expected = pictureHashes(padded, QStringLiteral("crop=%1:%2:0:0").arg(width).arg(height));
    QCOMPARE(expected.size(), 6);
    QCOMPARE(pictureHashes(output), expected);
}

void RewriteTest::rewrite_unreadableStreamLeftUntouched_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");

    QByteArray garbage(1 << 16, Qt::Uninitialized);
    QRandomGenerator random(20240607);
    random.fillRange(reinterpret_cast<quint32 *>(garbage.data()), garbage.size() / 4);
    garbage[0] = 'G';   // not a zero byte, whatever the generator gives
    const QByteArray stream = TestSupport::readFile(padded);
    const qsizetype sps = startCodeOf(stream, 33, 0);

    QTest::newRow("garbage") << garbage << "it is not an HEVC elementary stream (no start code at the beginning)";
    QTest::newRow("H.264 stream") << TestSupport::readFile(env.filePath(QStringLiteral("other codec.264"))) << "it does not start with a sequence parameter set";
    QTest::newRow("cut inside the SPS") << stream.left(sps + 12) << "its sequence parameter set is unreadable";
    QTest::newRow("empty") << QByteArray() << "the file is empty";
    // One crop goes into every parameter set, so it must fit every picture.
    QTest::newRow("picture size changes midway")
        << TestSupport::readFile(joinFolder + "/a.265") + TestSupport::readFile(joinFolder + "/other size.265")
        << "the picture format changes at picture 9 (352x288 4:2:0 8-bit, first 320x240 4:2:0 8-bit)";
}

void RewriteTest::rewrite_unreadableStreamLeftUntouched()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);

    const QString folder = freshFolder();
    const QString output = folder + QStringLiteral("/out.265");
    QVERIFY(TestSupport::writeFile(output, content));

    const RewriteResult result = OutputRewriter::rewrite(output, shownAt(320, 232));
    QVERIFY(!result.rewritten);
    QCOMPARE(result.error, QStringLiteral("Cannot rewrite %1: %2").arg(QDir::toNativeSeparators(output), reason));
    QCOMPARE(TestSupport::readFile(output), content);
    QCOMPARE(filesIn(folder), QStringList{"out.265"});
}

void RewriteTest::rewrite_refusesToDropUnits_data()
{
    QTest::addColumn<QByteArray>("unit");     // start code and NAL unit put in after the first picture
    QTest::addColumn<QString>("described");

    QTest::newRow("a parameter set of another layer")
        << QByteArray::fromHex("00000140090c01ffff016000000300b0000003000003005d95980900") << "type 32, layer 1";
    QTest::newRow("an end of sequence with temporal id + 1 of 0")
        << QByteArray::fromHex("000001480080") << "type 36, layer 0, temporal id + 1 = 0";
    QTest::newRow("an access unit delimiter with the forbidden bit")
        << QByteArray::fromHex("000001c60150") << "type 35, layer 0, temporal id + 1 = 1, forbidden bit set";
}

// The rewrite may change parameter sets and add SEI, nothing else: a stream holding a unit the
// metadata filter would drop is left byte for byte as the encoder wrote it, and the reason
// names the unit.
void RewriteTest::rewrite_refusesToDropUnits()
{
    QFETCH(QByteArray, unit);
    QFETCH(QString, described);

    QByteArray stream = TestSupport::readFile(joinFolder + "/a.265");
    stream.insert(startCodeOf(stream, -1, 1, 32), unit);
    const QString folder = freshFolder();
    const QString output = folder + QStringLiteral("/out.265");
    QVERIFY(TestSupport::writeFile(output, stream));

    const RewriteResult result = OutputRewriter::rewrite(output, shownAt(320, 232));
    QVERIFY(!result.rewritten);
    QVERIFY2(result.error.contains(described) && result.error.contains("would not have come through unchanged"),
             qPrintable(result.error));
    QCOMPARE(TestSupport::readFile(output), stream);
    QCOMPARE(filesIn(folder), QStringList{"out.265"});
}

// The rewritten file takes the place of the encoder's with the same permissions.
void RewriteTest::rewrite_keepsModeOfTheFile()
{
    const QString folder = freshFolder();
    const QString output = folder + QStringLiteral("/out.265");
    for (const QFile::Permissions mode : {QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup}) {
        QFile::remove(output);
        QVERIFY(QFile::copy(joinFolder + "/a.265", output));
        QVERIFY(QFile::setPermissions(output, mode));
        const RewriteResult result = OutputRewriter::rewrite(output, shownAt(320, 232));
        QVERIFY2(result.rewritten, qPrintable(result.error));
        QCOMPARE(QFileInfo(output).permissions() & QFile::Permissions(0x7077), mode);
    }
}

void RewriteTest::fullDisk_leavesEveryFileAsItWas()
{
    const QString folder = freshFolder();
    const QString output = folder + QStringLiteral("/out.265");
    QVERIFY(QFile::copy(padded, output));
    const QByteArray before = TestSupport::readFile(output);
    const QStringList segments{joinFolder + "/a.265", joinFolder + "/c.265"};
    const qint64 joinedSize = QFileInfo(segments.at(0)).size() + QFileInfo(segments.at(1)).size();
    const QString joined = folder + QStringLiteral("/joined.265");

    RewriteResult rewritten;
    JoinResult join;
    {
        TestSupport::FileSizeLimit limit(before.size() / 2);
        rewritten = OutputRewriter::rewrite(output, shownAt(1920, 1080));
    }
    {
        TestSupport::FileSizeLimit limit(joinedSize / 2);
        join = SegmentJoiner::join(joined, segments);
    }
    QVERIFY(!rewritten.rewritten);
    QCOMPARE(rewritten.error, QStringLiteral("Cannot rewrite %1: File too large").arg(QDir::toNativeSeparators(output)));
    QVERIFY(!join.ok);
    QCOMPARE(join.error, QStringLiteral("Cannot join into %1: File too large").arg(QDir::toNativeSeparators(joined)));
    QCOMPARE(TestSupport::readFile(output), before);
    QCOMPARE(filesIn(folder), QStringList{"out.265"});
}

void RewriteTest::join_decodesAsEachSegmentAlone()
{
    // Each segment gets its own rewrite first, as the transcoder does; the join keeps it, the
    // HDR metadata at every random-access picture included.
    const QString folder = freshFolder();
    QStringList segments;
    OutputFacts facts = hdr10();
    facts.shownWidth = 320;
    facts.shownHeight = 232;
    facts.sarNum = 32;
    facts.sarDen = 27;
    QStringList expected;
    int pictures = 0;
    for (const QString name : {"a.265", "b.265", "c.265"}) {
        const QString segment = folder + QLatin1Char('/') + name;
        QVERIFY(QFile::copy(joinFolder + QLatin1Char('/') + name, segment));
        const RewriteResult rewritten = OutputRewriter::rewrite(segment, facts);
        QVERIFY2(rewritten.rewritten, qPrintable(rewritten.error));
        const QStringList hashes = pictureHashes(segment);
        QVERIFY(!hashes.isEmpty());
        expected += hashes;
        pictures += TestSupport::probeVideo(segment).frames;
        segments << segment;
    }

    const QString output = folder + QStringLiteral("/joined.265");
    const JoinResult result = SegmentJoiner::join(output, segments);
    QCOMPARE(result.error, QString());
    QVERIFY(result.ok);
    QCOMPARE(result.segments, 3);
    QCOMPARE(filesIn(folder), (QStringList{"a.265", "b.265", "c.265", "joined.265"}));

    const TestSupport::ProbeResult probe = TestSupport::probeVideo(output);
    QCOMPARE(probe.frames, pictures);
    QCOMPARE(probe.width, 320);
    QCOMPARE(probe.height, 232);
    QCOMPARE(probeStream(output).value("sample_aspect_ratio").toString(), QStringLiteral("32:27"));
    QCOMPARE(pictureHashes(output), expected);
    const TestSupport::HdrSeiCount sei = TestSupport::countHdrSei(TestSupport::readFile(output));
    QVERIFY(sei.irapPictures >= 3);
    QCOMPARE(sei.masteringDisplay, sei.irapPictures);
    QCOMPARE(sei.lightLevel, sei.irapPictures);
}

void RewriteTest::join_refusesUnfitSegments_data()
{
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QString>("reason");

    const QByteArray stream = TestSupport::readFile(joinFolder + "/a.265");
    const qsizetype firstPicture = startCodeOf(stream, -1, 0, 32);   // its first slice
    const qsizetype trailing = startCodeOf(stream, 1, 0);

    QTest::newRow("cut at a byte offset") << stream.mid(stream.size() / 2)
        << "it is not an HEVC elementary stream (no start code at the beginning)";
    QTest::newRow("cut at a trailing picture") << stream.mid(trailing)
        << "it does not start with its parameter sets (no VPS/SPS/PPS before the first picture)";
    QTest::newRow("parameter sets, then a trailing picture") << stream.left(firstPicture) + stream.mid(trailing)
        << "its first picture is not a random-access picture (NAL unit type 1)";
    QTest::newRow("different picture size") << TestSupport::readFile(joinFolder + "/other size.265")
        << "its pictures are 352x288 4:2:0 8-bit, those of the first segment 320x240 4:2:0 8-bit";
}

void RewriteTest::join_refusesUnfitSegments()
{
    QFETCH(QByteArray, second);
    QFETCH(QString, reason);

    const QString folder = freshFolder();
    const QString first = folder + QStringLiteral("/a.265");
    QVERIFY(QFile::copy(joinFolder + "/a.265", first));
    const QString unfit = folder + QStringLiteral("/unfit.265");
    QVERIFY(TestSupport::writeFile(unfit, second));
    const QStringList before = filesIn(folder);

    const QString output = folder + QStringLiteral("/joined.265");
    const JoinResult result = SegmentJoiner::join(output, {first, unfit, first});
    QVERIFY(!result.ok);
    QCOMPARE(result.error, QStringLiteral("Cannot join segment %1 (2 of 3): %2")
                               .arg(QDir::toNativeSeparators(unfit), reason));
    QCOMPARE(filesIn(folder), before);
}

void RewriteTest::join_refusesSegmentAsOutput()
{
    // Whatever name it goes by, a segment is never overwritten by the join.
    const QString folder = freshFolder();
    const QString segment = folder + QStringLiteral("/a.265");
    QVERIFY(QFile::copy(joinFolder + "/a.265", segment));
    const QByteArray before = TestSupport::readFile(segment);
    const QString link = folder + QStringLiteral("/link.265");
    QVERIFY(QFile::link(segment, link));

    const JoinResult result = SegmentJoiner::join(link, {joinFolder + "/c.265", segment});
    QVERIFY(!result.ok);
    QCOMPARE(result.error, QStringLiteral("Cannot join into %1: it is segment 2 itself")
                               .arg(QDir::toNativeSeparators(link)));
    QCOMPARE(TestSupport::readFile(segment), before);
    QCOMPARE(filesIn(folder), (QStringList{"a.265", "link.265"}));
}

void RewriteTest::join_refusesSegmentCutInItsLastPicture_data()
{
    QTest::addColumn<QString>("kind");     // where the segment comes from (see encodedFolder)
    QTest::addColumn<int>("place");
    QTest::addColumn<QString>("reason");

    const QString cutHeader = "it ends in the start code or the header of a NAL unit";
    const QString record = "bytes, but its record ";
    QTest::newRow("no record: after the start code") << "plain" << int(AfterStartCode) << cutHeader;
    QTest::newRow("no record: in the NAL unit header") << "plain" << int(InNalUnitHeader) << cutHeader;
    QTest::newRow("no record: in the slice header") << "plain" << int(InSliceHeader) << "its last picture";
    QTest::newRow("no record: half the slice") << "plain" << int(HalfTheSlice) << "its last picture";
    QTest::newRow("no record: 16 bytes before the slice's end") << "plain" << int(BeforeSliceEnd) << "its last picture";
    QTest::newRow("hashes: in the slice header") << "hashed" << int(InSliceHeader) << "its last picture";
    QTest::newRow("hashes: half the slice") << "hashed" << int(HalfTheSlice) << "its last picture";
    QTest::newRow("hashes: 16 bytes before the slice's end") << "hashed" << int(BeforeSliceEnd) << "its last picture";
    QTest::newRow("hashes: the picture hash cut off") << "hashed" << int(HashCutOff) << "has no decoded picture hash";
    QTest::newRow("hashes: the last byte") << "hashed" << int(LastByte) << "it holds less than it declares";
    QTest::newRow("record: in the NAL unit header") << "record" << int(InNalUnitHeader) << record;
    QTest::newRow("record: half the slice") << "record" << int(HalfTheSlice) << record;
    QTest::newRow("record: the last byte") << "record" << int(LastByte) << record;
}

// A segment cut anywhere inside its last access unit is refused with 65, naming it, and
// nothing is written: against its record where the job left one beside it, else by what its
// end and the decoding of its last picture show.
void RewriteTest::join_refusesSegmentCutInItsLastPicture()
{
    QFETCH(QString, kind);
    QFETCH(int, place);
    QFETCH(QString, reason);

    const QString folder = freshFolder();
    const bool recorded = kind == "record";
    const QString source = recorded ? encodedFolder + "/job/out.265.parts" : encodedFolder + '/' + kind;
    const QString name = recorded ? QStringLiteral("part_0000000.265") : QStringLiteral("part_0000016.265");
    const QByteArray whole = TestSupport::readFile(source + '/' + name);
    const qsizetype cut = cutOffset(whole, place);
    QVERIFY2(cut > 0 && cut < whole.size(), qPrintable(QString::number(cut)));
    QVERIFY(TestSupport::writeFile(folder + '/' + name, whole.left(cut)));
    QStringList segments{name};
    if (recorded)
        QVERIFY(QFile::copy(source + "/part_0000000.json", folder + "/part_0000000.json"));
    else
        QVERIFY(QFile::copy(source + "/part_0000000.265", folder + "/part_0000000.265"));
    if (!recorded)
        segments.prepend("part_0000000.265");
    const QStringList before = filesIn(folder);

    const TestSupport::RunResult run = TestSupport::run(cliProgram(), QStringList{"--join", "joined.265"} + segments,
                                                        60000, folder);
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 65, run.err.constData());
    const QByteArray said = "morlunex-cli: the segment " + name.toUtf8() + " is not whole: ";
    QVERIFY2(run.err.startsWith(said) && run.err.contains(reason.toUtf8())
                 && run.err.endsWith("; nothing was written\n"), run.err.constData());
    QCOMPARE(filesIn(folder), before);
}

// The whole segments still join, in one stream that decodes as the segments do; the reference
// decoder checks every picture's hash in the joined stream.
void RewriteTest::join_wholeEncodedSegmentsPassTheReferenceDecoder()
{
    for (const QString kind : {"plain", "hashed"}) {
        const QString folder = encodedFolder + '/' + kind;
        const TestSupport::RunResult run = TestSupport::run(
            cliProgram(), {"--join", "joined.265", "part_0000000.265", "part_0000016.265", "--expect", "32"}, 60000, folder);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
        QCOMPARE(pictureHashes(folder + "/joined.265"),
                 pictureHashes(folder + "/part_0000000.265") + pictureHashes(folder + "/part_0000016.265"));
    }
    const TestSupport::RunResult job = TestSupport::run(
        cliProgram(), {"--join", "joined.265", "out.265.parts/part_0000000.265"}, 60000, encodedFolder + "/job");
    QVERIFY2(job.finished && job.exitCode == 0, job.err.constData());

    if (TestSupport::referenceTool(QStringLiteral("TAppDecoder")).isEmpty())
        QSKIP("The reference decoder is not there (set MORLUNEX_REFERENCE_BIN): its hash check was left out");
    const TestSupport::HashCheck check = TestSupport::referenceHashCheck(encodedFolder + "/hashed/joined.265");
    QCOMPARE(check.pictures, 32);
    QVERIFY2(check.matched == 32 && check.mismatched == 0, qPrintable(check.tail));
}

void RewriteTest::join_checksEveryKindOfPictureHash_data()
{
    QTest::addColumn<QString>("encoder");      // "bundled" or "reference"
    QTest::addColumn<QString>("config");       // beside the program
    QTest::addColumn<int>("hash");             // the encoder's number for the kind
    QTest::addColumn<QString>("kind");

    QTest::newRow("MD5, 8-bit 4:2:0") << "bundled" << "hevczent.cfg" << 1 << "MD5";
    QTest::newRow("MD5, 10-bit 4:4:4") << "bundled" << "hevczent10_444.cfg" << 1 << "MD5";
    QTest::newRow("CRC, 10-bit 4:2:0") << "bundled" << "hevczent10.cfg" << 2 << "CRC";
    QTest::newRow("checksum, 10-bit 4:4:4") << "bundled" << "hevczent10_444.cfg" << 3 << "checksum";
    QTest::newRow("CRC, reference encoder") << "reference" << "hevczent.cfg" << 2 << "CRC";
    QTest::newRow("checksum, reference encoder") << "reference" << "hevczent.cfg" << 3 << "checksum";
}

// A stream whose pictures carry hashes of a kind joins as it is, every hash computed from the
// decoded samples as the encoder computed it. With one byte of a picture's slice changed, or
// of the luma part of its hash, the join names the part and the picture and writes nothing.
void RewriteTest::join_checksEveryKindOfPictureHash()
{
    QFETCH(QString, encoder);
    QFETCH(QString, config);
    QFETCH(int, hash);
    QFETCH(QString, kind);

    const bool reference = encoder == "reference";
    const QString program = reference ? TestSupport::referenceTool(QStringLiteral("TAppEncoder"))
                                      : TestSupport::binDir() + "/morlunex-hevc-encoder";
    if (program.isEmpty())
        QSKIP("The reference encoder is not there (set MORLUNEX_REFERENCE_BIN)");
    const QString folder = freshFolder();
    QVERIFY(TestSupport::writeFile(folder + "/hashed.cfg",
                                   TestSupport::readFile(TestSupport::binDir() + '/' + config)
                                       + (reference ? QStringLiteral("SEIDecodedPictureHash : %1\n")
                                                    : QStringLiteral("MlxX265Params : hash=%1\n")).arg(hash).toUtf8()));
    const TestSupport::RunResult encoded = TestSupport::run(
        cliProgram(), {"-q", "-e", program, "-c", "hashed.cfg", "--frames", "9", "-o", "part.265",
                       encodedFolder + "/clip.mp4"}, 120000, folder);
    QVERIFY2(encoded.finished && encoded.exitCode == 0, encoded.err.constData());
    const TestSupport::RunResult whole = TestSupport::run(cliProgram(), {"--join", "whole.265", "part.265"}, 60000, folder);
    QVERIFY2(whole.finished && whole.exitCode == 0, whole.err.constData());

    // The fifth picture's slice, and the first byte of luma in its hash (after the SEI unit's
    // header, the payload's type and size, and the hash's kind).
    const QByteArray stream = TestSupport::readFile(folder + "/part.265");
    const qsizetype slice = startCodeOf(stream, -1, 4, 32);
    const qsizetype sei = startCodeOf(stream, 40, 4);
    QVERIFY(slice > 0 && sei > slice && sei - slice > 16);
    for (const qsizetype at : {(slice + sei) / 2, sei + 3 + 5}) {
        QByteArray damaged = stream;
        damaged[at] = char(damaged.at(at) ^ 0x10);
        QVERIFY(TestSupport::writeFile(folder + "/part.265", damaged));
        const TestSupport::RunResult run = TestSupport::run(cliProgram(), {"--join", "joined.265", "part.265"}, 60000, folder);
        QVERIFY(run.finished);
        QVERIFY2(run.exitCode == 65 && run.err.startsWith("morlunex-cli: the segment part.265 is damaged: its picture"),
                 run.err.constData());
        if (at > sei)
            QVERIFY2(run.err.contains(QStringLiteral("does not match its decoded picture hash (%1)").arg(kind).toUtf8()),
                     run.err.constData());
        QVERIFY(!QFileInfo::exists(folder + "/joined.265"));
    }
}

void RewriteTest::hdrSei_reachesEveryRandomAccessPicture_data()
{
    QTest::addColumn<QString>("x265");          // the encoder's own SEI options
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QStringList>("firstFrame");

    QTest::newRow("added") << QString()
        << "Output set to mastering display 0.0001 to 1000 cd/m2, light level 1000/400 cd/m2 (MaxCLL/MaxFALL)"
        << QStringList{"red_x=34000/50000", "red_y=16000/50000", "green_x=13250/50000", "green_y=34500/50000",
                       "blue_x=7500/50000", "blue_y=3000/50000", "white_point_x=15635/50000",
                       "white_point_y=16450/50000", "min_luminance=1/10000", "max_luminance=10000000/10000",
                       "max_content=1000", "max_average=400"};
    // What the encoder was configured to write wins; nothing is said twice.
    QTest::newRow("the encoder's own kept")
        << ":master-display=G(8500,39850)B(6550,2300)R(35400,14600)WP(15635,16450)L(40000000,50):max-cll=4000,50"
        << "Output set to the encoder's own mastering display kept, the encoder's own light level kept"
        << QStringList{"red_x=35400/50000", "green_y=39850/50000", "min_luminance=50/10000",
                       "max_luminance=40000000/10000", "max_content=4000", "max_average=50"};
}

// The SEI messages go into the access unit of every random-access picture, where FFmpeg's parser
// reads them back, and the coded pictures stay as they were.
void RewriteTest::hdrSei_reachesEveryRandomAccessPicture()
{
    QFETCH(QString, x265);
    QFETCH(QString, summary);
    QFETCH(QStringList, firstFrame);

    const QString folder = freshFolder();
    const QString original = folder + QStringLiteral("/original.265");
    QVERIFY(encode(original, QStringLiteral("testsrc2"), 64, 64, 10,
                   ":keyint=4:min-keyint=4:scenecut=0:repeat-headers=1" + x265));
    const QString output = folder + QStringLiteral("/out.265");
    QVERIFY(QFile::copy(original, output));

    const RewriteResult result = OutputRewriter::rewrite(output, hdr10());
    QCOMPARE(result.error, QString());
    QVERIFY(result.rewritten);
    QCOMPARE(result.summary, summary);
    const QStringList frame = TestSupport::firstFrame(output);
    for (const QString &value : firstFrame)
        QVERIFY2(frame.contains(value), qPrintable(value + '\n' + frame.join('\n')));
    const TestSupport::HdrSeiCount sei = TestSupport::countHdrSei(TestSupport::readFile(output));
    QCOMPARE(sei.irapPictures, 3);
    QCOMPARE(sei.masteringDisplay, 3);
    QCOMPARE(sei.lightLevel, 3);
    QCOMPARE(pictureHashes(output), pictureHashes(original));
}

void RewriteTest::seiWriter_escapesAndCodesSizes_data()
{
    QTest::addColumn<QList<int>>("types");
    QTest::addColumn<QByteArrayList>("payloads");
    QTest::addColumn<QByteArray>("unit");

    const auto light = [](quint16 maxContent, quint16 maxAverage) {
        return SeiWriter::payload(ContentLightLevel{maxContent, maxAverage});
    };
    QTest::newRow("nothing to escape") << QList<int>{144} << QByteArrayList{light(1000, 400)}
                                       << QByteArray::fromHex("4e01 9004 03e8 0190 80");
    QTest::newRow("zeros escaped twice") << QList<int>{144} << QByteArrayList{light(0, 0)}
                                         << QByteArray::fromHex("4e01 9004 0000 0300 0080");
    QTest::newRow("a start code in the payload") << QList<int>{144} << QByteArrayList{light(0, 0x0103)}
                                                 << QByteArray::fromHex("4e01 9004 0000 0301 0380");
    QTest::newRow("an escape byte in the payload") << QList<int>{144} << QByteArrayList{light(0, 0x0301)}
                                                   << QByteArray::fromHex("4e01 9004 0000 0303 0180");
    MasteringDisplay display = *hdr10().masteringDisplay;
    QTest::newRow("mastering display, then light level")
        << QList<int>{137, 144} << QByteArrayList{SeiWriter::payload(display), light(1000, 400)}
        << QByteArray::fromHex("4e01 8918 33c2 86c4 1d4c 0bb8 84d0 3e80 3d13 4042 0098 9680 0000 0300 01"
                               "9004 03e8 0190 80");
    // Types and sizes of 255 and more take a run of FF bytes.
    QTest::newRow("long payload") << QList<int>{300} << QByteArrayList{QByteArray(600, '\x11')}
                                  << QByteArray::fromHex("4e01 ff2d ffff5a") + QByteArray(600, '\x11') + '\x80';
}

void RewriteTest::seiWriter_escapesAndCodesSizes()
{
    QFETCH(QList<int>, types);
    QFETCH(QByteArrayList, payloads);
    QFETCH(QByteArray, unit);

    QList<SeiWriter::Message> messages;
    for (int i = 0; i < types.size(); ++i)
        messages << SeiWriter::Message(types.at(i), payloads.at(i));
    const QByteArray written = HevcByteStream::prefixSeiUnit(messages);
    QCOMPARE(written.toHex(' '), unit.toHex(' '));
    QCOMPARE(SeiWriter::payloadTypes(written.constData(), written.size()), types);
}

QTEST_GUILESS_MAIN(RewriteTest)
#include "tst_rewrite.moc"
