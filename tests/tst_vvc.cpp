// VVC streams from the VVC reference encoder, read, renumbered and joined: every picture and its
// hash found where the encoder reports it, the picture size and crop it was told, order counts
// rewritten in place that its decoder accepts, and segments coded with one picture of overlap
// joined into the very bytes of one encoder run and of the reference software's own join; a
// seam whose two copies differ is refused.

#include "support/testsupport.h"

#include "report/encoderlinereader.h"
#include "vvc/vvcencoderrules.h"
#include "vvc/vvcjoin.h"
#include "vvc/vvcnalunit.h"
#include "vvc/vvcsei.h"
#include "vvc/vvcstreamindex.h"
#include "vvc/vvcunitreader.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using TestSupport::IsolatedEnvironment;
using TestSupport::readFile;

namespace {

constexpr char kNoTools[] = "the VVC reference encoder, decoder and parcat are not in "
                            "../shared/testdata/reference-encoder-vvc/bin";

// Not a multiple of the encoder's 8x8 blocks: it codes 40x32 and crops in the conformance window.
constexpr int kWidth = 36, kHeight = 28;
constexpr int kCodedWidth = 40, kCodedHeight = 32;
// Two intra periods of the stock random-access file at 30 pictures a second, and the next
// intra picture.
constexpr int kPictures = 65;
constexpr int kEncoderWait = 600000;

QString vvcTool(const QString &name)
{
    const QString folder = qEnvironmentVariableIsSet("MORLUNEX_VVC_BIN")
                               ? qEnvironmentVariable("MORLUNEX_VVC_BIN")
                               : QStringLiteral(MORLUNEX_TESTDATA_DIR "/reference-encoder-vvc/bin");
    const QFileInfo program(QDir(folder).filePath(name));
    return program.isFile() && program.isExecutable() ? program.absoluteFilePath() : QString();
}

QByteArray sourceKeys(int pictures)
{
    return QStringLiteral("\nInputBitDepth : 8\nInputChromaFormat : 420\nFrameRate : 30\nSourceWidth : %1\n"
                          "SourceHeight : %2\nFramesToBeEncoded : %3\nQP : 37\nSEIDecodedPictureHash : 1\n")
        .arg(kWidth).arg(kHeight).arg(pictures).toLatin1();
}

// One picture as the encoder or the decoder reports it, in coding order.
struct Reported
{
    int poc = 0;
    QString md5;
    bool ok = false;            // the decoder's "(OK)" after the hash
};

QList<Reported> reportedPictures(const QByteArray &output)
{
    static const QRegularExpression line(
        QStringLiteral("^POC\\s+(-?\\d+) .*\\[MD5:([0-9a-f]{32}),([0-9a-f]{32}),([0-9a-f]{32})(,\\(OK\\))?"),
        QRegularExpression::MultilineOption);
    QList<Reported> pictures;
    for (auto it = line.globalMatch(QString::fromLatin1(output)); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        pictures.append({match.captured(1).toInt(), match.captured(2) + match.captured(3) + match.captured(4),
                         !match.captured(5).isEmpty()});
    }
    return pictures;
}

// What the VVC decoder says of a stream: its exit and every picture it decoded.
struct Decoded
{
    bool clean = false;         // ended by itself with 0
    QList<Reported> pictures;
    QString tail;
};

Decoded decode(const QString &stream)
{
    const TestSupport::RunResult result =
        TestSupport::run(vvcTool(QStringLiteral("DecoderApp")), {"-b", stream, "-o", "/dev/null"}, kEncoderWait);
    Decoded decoded;
    decoded.clean = result.finished && result.exitCode == 0;
    decoded.pictures = reportedPictures(result.out);
    decoded.tail = QString::fromLatin1(result.out.right(300) + result.err.right(300));
    return decoded;
}

} // namespace

class VvcTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void reader_findsEveryUnitWhereverReadsEnd_data();
    void reader_findsEveryUnitWhereverReadsEnd();
    void index_refusesAnHevcStream();
    void stream_matchesTheEncoderReport_data();
    void stream_matchesTheEncoderReport();
    void renumbering_keepsEveryPictureDecodable();
    void join_givesOnePieceAndParcatBytes_data();
    void join_givesOnePieceAndParcatBytes();
    void join_refusesASeamWhoseCopiesDiffer();

private:
    QString file(const QString &name) const { return env->filePath(name); }

    std::unique_ptr<IsolatedEnvironment> env;
};

void VvcTest::initTestCase()
{
    if (vvcTool(QStringLiteral("EncoderApp")).isEmpty() || vvcTool(QStringLiteral("DecoderApp")).isEmpty()
        || vvcTool(QStringLiteral("parcat")).isEmpty())
        return;
    env = std::make_unique<IsolatedEnvironment>();
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", QStringLiteral("testsrc2=size=%1x%2:rate=30").arg(kWidth).arg(kHeight),
                                 "-frames:v", QString::number(kPictures), "-pix_fmt", "yuv420p", "-f", "rawvideo",
                                 file("source.yuv")}));
    const QString stock = QStringLiteral(MORLUNEX_TESTDATA_DIR "/reference-encoder-vvc/");
    // The all-intra file codes every eighth picture (TemporalSubsampleRatio 8): 17 pictures give 3.
    QVERIFY(TestSupport::writeFile(file("ra.cfg"), readFile(stock + "encoder_randomaccess_vtm.cfg") + sourceKeys(kPictures)));
    QVERIFY(TestSupport::writeFile(file("ai.cfg"), readFile(stock + "encoder_intra_vtm.cfg") + sourceKeys(17)));

    // Each segment also codes the next one's first picture; the random-access file's temporal
    // filter reads the pictures around its own, as far as the whole input reaches.
    const QList<QPair<QString, QStringList>> encodes = {
        {"ra", {"-c", "ra.cfg"}},
        {"ra_1", {"-c", "ra.cfg", "-f", "33", "--LastValidFrame=64"}},
        {"ra_2", {"-c", "ra.cfg", "-fs", "32", "-f", "33", "--FirstValidFrame=0", "--LastValidFrame=64"}},
        {"ai", {"-c", "ai.cfg"}},
        {"ai_1", {"-c", "ai.cfg", "-f", "9"}},
        {"ai_2", {"-c", "ai.cfg", "-fs", "8", "-f", "9"}},
        // Access unit delimiters, and picture headers in NAL units of their own.
        {"aiph", {"-c", "ai.cfg", "--AccessUnitDelimiter=1", "--EnablePictureHeaderInSliceHeader=0"}},
        {"aiph_1", {"-c", "ai.cfg", "--AccessUnitDelimiter=1", "--EnablePictureHeaderInSliceHeader=0", "-f", "9"}},
        {"aiph_2", {"-c", "ai.cfg", "--AccessUnitDelimiter=1", "--EnablePictureHeaderInSliceHeader=0", "-fs", "8",
                    "-f", "9"}},
    };
    // Two at a time, one a core, the longest first.
    QDeadlineTimer deadline(kEncoderWait);
    std::vector<std::unique_ptr<QProcess>> running;
    for (qsizetype next = 0; next < encodes.size() || !running.empty();) {
        while (running.size() < 2 && next < encodes.size()) {
            const auto &[name, arguments] = encodes.at(next++);
            auto process = std::make_unique<QProcess>();
            process->setWorkingDirectory(env->path());
            process->setStandardOutputFile(file(name + ".log"));
            process->start(vvcTool(QStringLiteral("EncoderApp")),
                           arguments + QStringList{"-i", "source.yuv", "-wdt", QString::number(kWidth), "-hgt",
                                                   QString::number(kHeight), "-o", "", "-b", name + ".266"});
            running.push_back(std::move(process));
        }
        running.front()->waitForFinished(100);
        for (auto it = running.begin(); it != running.end();) {
            QProcess &process = **it;
            if (process.state() != QProcess::NotRunning) {
                if (!deadline.hasExpired()) {
                    ++it;
                    continue;
                }
                process.kill();
                process.waitForFinished(5000);
            }
            QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
                     qPrintable(process.arguments().join(' ') + ": " + process.readAllStandardError().right(500)));
            it = running.erase(it);
        }
    }
}

void VvcTest::reader_findsEveryUnitWhereverReadsEnd_data()
{
    // The reader takes the file a mebibyte at a time: the start code after a long slice may lie
    // in one read, straddle two, or have zero bytes before it in the read before.
    QTest::addColumn<qint64>("codeAt");     // where the start code after the slice begins
    QTest::addColumn<int>("zeros");         // the zero bytes before that start code
    constexpr qint64 read = 1 << 20;
    QTest::newRow("short slice") << qint64(60) << 0;
    QTest::newRow("start code ends a read") << read - 3 << 1;
    QTest::newRow("start code straddles two reads") << read - 2 << 1;
    QTest::newRow("start code opens the next read") << read << 1;
    QTest::newRow("zero bytes straddle two reads") << read << 9;
    QTest::newRow("slice over three reads") << 3 * read + 17 << 300;
}

void VvcTest::reader_findsEveryUnitWhereverReadsEnd()
{
    QFETCH(qint64, codeAt);
    QFETCH(int, zeros);
    // A parameter set, a slice of bytes that are never zero, zero bytes, a suffix SEI, zero bytes.
    QByteArray stream = QByteArray("\0\0\0\1\x00\x79\x01\x02\x03\0\0\0\1\x00\x41\xc4", 16);
    while (stream.size() < codeAt - zeros)
        stream.append(char(1 + stream.size() % 251));
    stream += QByteArray(zeros, '\0') + QByteArray("\0\0\1\x00\xc1\x84\x02\xaa\xbb\x80\0\0", 13);

    // The units as a plain search of the whole file finds them.
    struct Expected { qint64 start, offset, end; };
    QList<Expected> expected;
    for (qsizetype at = stream.indexOf(QByteArray("\0\0\1", 3)); at >= 0;
         at = stream.indexOf(QByteArray("\0\0\1", 3), at + 3)) {
        qint64 start = at;
        while (start > 0 && stream.at(start - 1) == 0)
            --start;
        if (!expected.isEmpty())
            expected.last().end = start;
        expected.append({expected.isEmpty() ? 0 : start, at + 3, stream.size()});
    }
    QCOMPARE(expected.size(), 3);

    QTemporaryDir folder;
    const QString path = folder.filePath("units.266");
    QVERIFY(TestSupport::writeFile(path, stream));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    VvcUnitReader reader(&file);
    VvcUnit unit;
    const int types[] = {VvcNalUnit::Sps, VvcNalUnit::IdrNoLeading, VvcNalUnit::SuffixSei};
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(reader.next(&unit), qPrintable(reader.problem));
        QCOMPARE(unit.type, types[i]);
        QCOMPARE(unit.start, expected.at(i).start);
        QCOMPARE(unit.offset, expected.at(i).offset);
        QCOMPARE(unit.end, expected.at(i).end);
        QByteArray bytes = stream.mid(unit.offset, unit.end - unit.offset);
        while (bytes.endsWith('\0'))
            bytes.chop(1);
        const bool cut = i == 1 && bytes.size() > VvcUnitReader::kSliceHead;
        QCOMPARE(unit.whole, !cut);
        QCOMPARE(unit.bytes, cut ? bytes.left(VvcUnitReader::kSliceHead) : bytes);
    }
    QVERIFY(!reader.next(&unit));
    QVERIFY(reader.problem.isEmpty());
}

void VvcTest::index_refusesAnHevcStream()
{
    QTemporaryDir folder;
    const QString hevc = folder.filePath("part.265");
    QVERIFY(TestSupport::writeTinyStream(hevc));
    const VvcStreamIndex index = VvcStreamIndex::read(hevc);
    QVERIFY2(index.problem.contains("no VVC byte stream"), qPrintable(index.problem));
    QString problem;
    QVERIFY(!VvcJoin::join({hevc}, folder.filePath("joined.266"), &problem));
    QVERIFY2(problem.contains(hevc) && problem.contains("no VVC byte stream"), qPrintable(problem));
    QVERIFY(!QFileInfo::exists(folder.filePath("joined.266")));
}

void VvcTest::stream_matchesTheEncoderReport_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("pictures");
    QTest::addColumn<int>("input");            // the pictures the encoder was given
    QTest::addColumn<int>("subsampling");      // TemporalSubsampleRatio
    QTest::addColumn<int>("intraPeriod");      // IntraPeriod, as the file sets it
    QTest::newRow("random access, one piece") << "ra" << kPictures << kPictures << 1 << -32;
    QTest::newRow("random access, first segment") << "ra_1" << 33 << 33 << 1 << -32;
    QTest::newRow("random access, second segment") << "ra_2" << 33 << 33 << 1 << -32;
    QTest::newRow("all intra, every eighth picture") << "ai" << 3 << 17 << 8 << 1;
    QTest::newRow("all intra, second segment") << "ai_2" << 2 << 9 << 8 << 1;
    QTest::newRow("all intra, picture header units") << "aiph_2" << 2 << 9 << 8 << 1;
}

void VvcTest::stream_matchesTheEncoderReport()
{
    if (!env)
        QSKIP(kNoTools);
    QFETCH(QString, name);
    QFETCH(int, pictures);
    QFETCH(int, input);
    QFETCH(int, subsampling);
    QFETCH(int, intraPeriod);
    const QString stream = file(name + ".266");
    QFile opened(stream);
    QVERIFY(opened.open(QIODevice::ReadOnly));
    const QByteArray start = opened.read(64);
    const qsizetype header = start.indexOf(QByteArray("\0\0\1", 3)) + 3;
    QVERIFY(header >= 3 && VvcNalUnit::opensStream(start.constData() + header));

    const VvcStreamIndex index = VvcStreamIndex::read(stream);
    QVERIFY2(index.problem.isEmpty(), qPrintable(index.problem));
    QCOMPARE(index.pictures(), pictures);
    QCOMPARE(VvcEncoderRules::codedPictures(input, subsampling), qint64(pictures));
    // Intra pictures where the encoder's rule puts them, at 30 pictures a second.
    const int period = VvcEncoderRules::intraPeriod(intraPeriod, 30);
    for (const VvcStreamIndex::AccessUnit &unit : index.units)
        QCOMPARE(unit.irap(), unit.pictureOrderCount % period == 0);
    QVERIFY(index.formatKnown);
    QCOMPARE(index.format.codedWidth, kCodedWidth);
    QCOMPARE(index.format.codedHeight, kCodedHeight);
    QCOMPARE(index.format.width(), kWidth);
    QCOMPARE(index.format.height(), kHeight);
    QCOMPARE(index.format.cropLeft + index.format.cropTop, 0);
    QCOMPARE(index.format.chromaFormat, 1);
    QCOMPARE(index.format.bitDepth, 10);   // the stock files' InternalBitDepth

    // Every picture's order count and hash, in coding order, as the encoder printed them.
    const QByteArray log = readFile(file(name + ".log"));
    const QList<Reported> reported = reportedPictures(log);
    QCOMPARE(reported.size(), pictures);
    for (int i = 0; i < pictures; ++i) {
        const VvcStreamIndex::AccessUnit &unit = index.units.at(i);
        VvcSei::PictureHash hash;
        QVERIFY(VvcSei::readPictureHash(unit.hash, &hash));
        QCOMPARE(hash.kind, int(VvcSei::PictureHash::Md5));
        QCOMPARE(unit.pictureOrderCount, reported.at(i).poc);
        QCOMPARE(QString::fromLatin1(hash.components.join().toHex()), reported.at(i).md5);
    }
    // The quality report reads the encoder's picture lines as they are.
    EncoderLineReader lines;
    lines.feed(log);
    lines.finish();
    QCOMPARE(lines.pictureCount(), qint64(pictures));
}

void VvcTest::renumbering_keepsEveryPictureDecodable()
{
    if (!env)
        QSKIP(kNoTools);
    // 200 on top of counts up to 64 wraps the 8-bit field: the decoder must carry it over.
    constexpr int offset = 200;
    QString problem;
    QVERIFY2(VvcJoin::renumber(file("ra.266"), file("renumbered.266"), offset, &problem), qPrintable(problem));
    const QList<Reported> before = reportedPictures(readFile(file("ra.log")));
    const Decoded after = decode(file("renumbered.266"));
    QVERIFY2(after.clean, qPrintable(after.tail));
    QCOMPARE(after.pictures.size(), before.size());
    // The index works the counts out past the wrap as the decoder does.
    const VvcStreamIndex renumbered = VvcStreamIndex::read(file("renumbered.266"));
    QVERIFY2(renumbered.problem.isEmpty(), qPrintable(renumbered.problem));
    QCOMPARE(renumbered.units.size(), before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        QCOMPARE(after.pictures.at(i).poc, before.at(i).poc + offset);
        QCOMPARE(renumbered.units.at(i).pictureOrderCount, after.pictures.at(i).poc);
        QCOMPARE(after.pictures.at(i).md5, before.at(i).md5);
        QVERIFY(after.pictures.at(i).ok);
    }
}

void VvcTest::join_givesOnePieceAndParcatBytes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("pictures");
    QTest::newRow("random access, temporal filter on") << "ra" << kPictures;
    QTest::newRow("all intra, every eighth picture") << "ai" << 3;
    QTest::newRow("all intra, delimiters and picture header units") << "aiph" << 3;
}

void VvcTest::join_givesOnePieceAndParcatBytes()
{
    if (!env)
        QSKIP(kNoTools);
    QFETCH(QString, name);
    QFETCH(int, pictures);
    const QStringList segments = {file(name + "_1.266"), file(name + "_2.266")};
    QString problem;
    QVERIFY2(VvcJoin::join(segments, file(name + "_joined.266"), &problem), qPrintable(problem));
    const TestSupport::RunResult parcat =
        TestSupport::run(vvcTool(QStringLiteral("parcat")), segments + QStringList{file(name + "_parcat.266")});
    QVERIFY(parcat.finished && parcat.exitCode == 0);

    const QByteArray joined = readFile(file(name + "_joined.266"));
    QVERIFY(joined == readFile(file(name + "_parcat.266")));
    QVERIFY(joined == readFile(file(name + ".266")));
    const Decoded decoded = decode(file(name + "_joined.266"));
    QVERIFY2(decoded.clean, qPrintable(decoded.tail));
    QCOMPARE(decoded.pictures.size(), pictures);
    for (const Reported &picture : decoded.pictures)
        QVERIFY(picture.ok);
}

void VvcTest::join_refusesASeamWhoseCopiesDiffer()
{
    if (!env)
        QSKIP(kNoTools);
    // The later copy of the seam picture with one bit of its MD5 changed.
    const VvcStreamIndex later = VvcStreamIndex::read(file("ra_2.266"));
    QVERIFY(later.problem.isEmpty());
    QByteArray bytes = readFile(file("ra_2.266"));
    const VvcStreamIndex::AccessUnit &seam = later.units.first();
    const qsizetype at = bytes.indexOf(seam.hash, seam.start);
    QVERIFY(at > 0 && at < seam.end);
    bytes[at + 5] = char(bytes.at(at + 5) ^ 0x10);
    QVERIFY(TestSupport::writeFile(file("ra_2_other.266"), bytes));

    QString problem;
    QVERIFY(!VvcJoin::join({file("ra_1.266"), file("ra_2_other.266")}, file("refused.266"), &problem));
    QVERIFY2(problem.contains("ra_2_other.266") && problem.contains("differ"), qPrintable(problem));
    QVERIFY(!QFileInfo::exists(file("refused.266")));

    // A segment that opens with a picture other than the earlier one's last.
    QVERIFY(!VvcJoin::join({file("ra_1.266"), file("ra_1.266")}, file("refused.266"), &problem));
    QVERIFY2(problem.contains("differ"), qPrintable(problem));
    QVERIFY(!QFileInfo::exists(file("refused.266")));
}

QTEST_GUILESS_MAIN(VvcTest)
#include "tst_vvc.moc"
