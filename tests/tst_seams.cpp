// Exact seams: segments that each also code the next one's first picture, joined into the
// very bytes of one encoder run over the whole, with the reference encoder and decoder; a seam
// whose two copies differ is never joined that way; the rewrite of a picture order count in an
// escaped slice header.

#include "support/testsupport.h"

#include "bitstream/rbsp.h"
#include "hevc/hevccodec.h"
#include "join/segmentjoiner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <memory>

using TestSupport::IsolatedEnvironment;

namespace {

constexpr int kWidth = 128, kHeight = 96;
constexpr int kIntraPeriod = 16;
// Three intra periods and the picture that opens the fourth.
constexpr int kPictures = 3 * kIntraPeriod + 1;
constexpr qint64 kPictureBytes = qint64(kWidth) * kHeight * 3 / 2;
// The pictures the stock file's temporal filter reads before and after the one it filters
// (TemporalFilterPastRefs, TemporalFilterFutureRefs).
constexpr int kFilterMargin = 4;
// The program's own runs, in one piece, in segments and as tasks, on smaller pictures.
constexpr int kSmallWidth = 64, kSmallHeight = 48;

// A program to run, in a folder of its own making.
struct Command
{
    QString program;
    QStringList arguments;
    QString folder;
};

// Runs the commands two at a time (one a core, as on the test machines); false, with why, when
// one fails or does not end in time.
bool runAll(const QList<Command> &commands, QString *why)
{
    std::vector<std::unique_ptr<QProcess>> running;
    bool ok = true;
    const auto finishFirst = [&] {
        QProcess &process = *running.front();
        if (!process.waitForFinished(300000)) {
            process.kill();
            process.waitForFinished(5000);
        }
        if (ok && (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)) {
            *why = QStringLiteral("%1 %2: %3").arg(process.program(), process.arguments().join(QLatin1Char(' ')),
                                                  QString::fromLocal8Bit(process.readAllStandardError().right(600)));
            ok = false;
        }
        running.erase(running.begin());
    };
    for (const Command &command : commands) {
        if (running.size() == 2)
            finishFirst();
        auto process = std::make_unique<QProcess>();
        QDir().mkpath(command.folder);
        process->setWorkingDirectory(command.folder);
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(command.program, command.arguments);
        running.push_back(std::move(process));
    }
    while (!running.empty())
        finishFirst();
    return ok;
}

// One run of the reference encoder as the transcoder starts it: everything it is told is in
// its configuration file; it runs in a folder of its own, where a ReconFile would go.
struct EncoderRun
{
    QString config;
    QString input;
    QString output;
};

bool encodeAll(const QList<EncoderRun> &runs, QString *why)
{
    const QString encoder = TestSupport::referenceTool(QStringLiteral("TAppEncoder"));
    QList<Command> commands;
    for (const EncoderRun &run : runs)
        commands << Command{encoder,
                            {"-c", run.config, "-i", run.input, "-b", run.output, "-wdt", QString::number(kWidth),
                             "-hgt", QString::number(kHeight)},
                            run.output + QStringLiteral(".run")};
    return runAll(commands, why);
}

QByteArray keys(const QList<QPair<QString, qint64>> &values)
{
    QByteArray text;
    for (const auto &value : values)
        text += value.first.toLatin1() + " : " + QByteArray::number(value.second) + '\n';
    return text;
}

// A raw 4:2:0 sequence from the ffmpeg tool's test source with some noise, so that the
// encoder has something to decide at every picture.
bool makeSequence(const QString &path, int width = kWidth, int height = kHeight)
{
    return TestSupport::ffmpeg({"-f", "lavfi", "-i",
                                QStringLiteral("testsrc2=size=%1x%2:rate=25,noise=alls=12:allf=t").arg(width).arg(height),
                                "-frames:v", QString::number(kPictures), "-pix_fmt", "yuv420p", "-f", "rawvideo", path});
}

// The stream without its SEI NAL units, picture hashes among them.
QByteArray withoutSei(const QByteArray &stream)
{
    QByteArray kept;
    qsizetype at = stream.indexOf(QByteArray("\0\0\1", 3));
    while (at >= 0) {
        const qsizetype next = stream.indexOf(QByteArray("\0\0\1", 3), at + 3);
        qsizetype end = next < 0 ? stream.size() : next;
        while (next >= 0 && end > at + 3 && stream.at(end - 1) == 0)
            --end;
        const Codec &hevc = HevcCodec::instance();
        const Codec::Kind kind = hevc.kind(hevc.header(stream.constData() + at + 3).type);
        if (kind != Codec::Kind::PrefixSei && kind != Codec::Kind::SuffixSei)
            kept += QByteArray("\0\0\0\1", 4) + stream.mid(at + 3, end - at - 3);
        at = next;
    }
    return kept;
}

// The reference encoder's stock random-access file (temporal filter on), the source keys it
// leaves to a per-sequence file in front, a shorter intra period and picture hashes after.
QByteArray stockConfig()
{
    const QString stock = QFileInfo(TestSupport::referenceTool(QStringLiteral("TAppEncoder"))).dir().filePath(
        QStringLiteral("../encoder_randomaccess_main.cfg"));
    return keys({{"FrameRate", 25}, {"FramesToBeEncoded", 1000000}, {"InputBitDepth", 8}, {"InputChromaFormat", 420},
                 {"FrameSkip", 0}})
        + TestSupport::readFile(stock) + keys({{"IntraPeriod", kIntraPeriod}, {"SEIDecodedPictureHash", 1}});
}

QList<SegmentJoiner::Seam> overlaps(int seams)
{
    return QList<SegmentJoiner::Seam>(seams, SegmentJoiner::Seam::Overlap);
}

} // namespace

class SeamsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rewrittenField_changesNothingElse();
    void exactSeams_giveOnePiecesBytes_data();
    void exactSeams_giveOnePiecesBytes();
    void seamWhoseCopiesDiffer_isNeverJoinedExactly();
    void segmentsAndTasks_giveOnePiecesBytes_data();
    void segmentsAndTasks_giveOnePiecesBytes();
    void seamNotProven_segmentBeforeEncodedClosed();
    void segmentsOffThePeriods_areClosedAndSayWhy_data();
    void segmentsOffThePeriods_areClosedAndSayWhy();
    void damagedLastPart_isRefusedNamingThePicture();

private:
    QString file(const QString &name) const { return env.filePath(name); }
    bool haveReference() const;

    IsolatedEnvironment env;
    QString sequence;        // the raw pictures
    QString changedSequence; // the same, with one sample of picture kIntraPeriod changed
    QString config;          // hevczent.cfg with hashes, a shorter intra period and four slices a picture
};

bool SeamsTest::haveReference() const
{
    return !TestSupport::referenceTool(QStringLiteral("TAppEncoder")).isEmpty()
        && !TestSupport::referenceTool(QStringLiteral("TAppDecoder")).isEmpty();
}

void SeamsTest::initTestCase()
{
    QVERIFY(env.isValid());
    if (!haveReference())
        return;
    sequence = file(QStringLiteral("sequence.yuv"));
    QVERIFY(makeSequence(sequence));
    QByteArray raw = TestSupport::readFile(sequence);
    QCOMPARE(raw.size(), kPictures * kPictureBytes);
    raw[kIntraPeriod * kPictureBytes + kWidth + 7] = char(uchar(raw.at(kIntraPeriod * kPictureBytes + kWidth + 7)) ^ 0x20);
    changedSequence = file(QStringLiteral("changed.yuv"));
    QVERIFY(TestSupport::writeFile(changedSequence, raw));

    // Four slices a picture: slice headers that start inside a picture carry its address first.
    config = file(QStringLiteral("hevczent.cfg"));
    QVERIFY(TestSupport::writeFile(config, TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg")
                                               + keys({{"IntraPeriod", kIntraPeriod}, {"SEIDecodedPictureHash", 1},
                                                       {"SliceMode", 1}, {"SliceArgument", 1}})));
}

// Whatever field is rewritten, with whatever value, the payload reads back with that value
// and everything else as it was, escaped as an encoder escapes it; the same value gives the
// very same bytes. The payloads are mostly zero bytes, so that fields cross emulation
// prevention bytes, make new ones and take old ones away, also at the payload's end.
void SeamsTest::rewrittenField_changesNothingElse()
{
    QRandomGenerator random(20251209);
    for (int round = 0; round < 4000; ++round) {
        // A payload as a slice has it: its data, the byte with the stop bit, and cabac_zero_words.
        QByteArray data(2 + random.bounded(14), '\0');
        for (char &byte : data)
            byte = random.bounded(3) == 0 ? char(random.bounded(256)) : char(random.bounded(4) == 0 ? 3 : 0);
        const QByteArray rbsp = data + char(0x80) + QByteArray(2 * random.bounded(3), '\0');
        const QByteArray escaped = Rbsp::escape(rbsp, true);
        const int count = 1 + random.bounded(16);
        const qint64 at = random.bounded(int(data.size() * 8 - count + 1));
        const quint32 value = random.bounded(1u << count);
        // The bytes given may be the whole payload, or its beginning only.
        const bool whole = random.bounded(2);
        const QByteArray given = whole ? escaped : escaped.left(escaped.size() - random.bounded(int(escaped.size()) / 2));

        Rbsp::Edit edit;
        if (!Rbsp::replaceBits(given, whole, at, count, value, &edit)) {
            // Only a beginning that ends before the field's escaping is settled is refused.
            QVERIFY2(!whole, qPrintable(escaped.toHex(' ')));
            continue;
        }
        QByteArray changed = rbsp;
        for (int i = 0; i < count; ++i) {
            const qint64 bit = at + i;
            const uchar mask = uchar(0x80u >> (bit & 7));
            changed[bit >> 3] = char((value >> (count - 1 - i)) & 1 ? uchar(changed.at(bit >> 3)) | mask
                                                                     : uchar(changed.at(bit >> 3)) & ~mask);
        }
        const QByteArray result = escaped.left(edit.from) + edit.bytes + escaped.mid(edit.from + edit.length);
        const QString where = QStringLiteral("%1 (%2 bits at %3 = %4)").arg(QString::fromLatin1(escaped.toHex(' ')))
                                  .arg(count).arg(at).arg(value);
        QVERIFY2(edit.from + edit.length <= given.size(), qPrintable(where));
        QVERIFY2(result == Rbsp::escape(changed, true), qPrintable(where));
        QVERIFY2(Rbsp::unescape(result.constData(), result.size()) == changed, qPrintable(where));
        if (changed == rbsp)
            QVERIFY2(edit.bytes == escaped.mid(edit.from, edit.length), qPrintable(where));
    }
}

void SeamsTest::exactSeams_giveOnePiecesBytes_data()
{
    QTest::addColumn<bool>("filter");
    QTest::newRow("hevczent.cfg, four slices a picture") << false;
    QTest::newRow("stock random access file, temporal filter on") << true;
}

// Segments of one intra period, each but the last with the next one's first picture too, and
// each told in its configuration file which pictures to code: joined, they are the one-piece
// stream byte for byte, and the reference decoder checks every picture's hash. With the
// temporal filter, each segment's encoder reads a file of its pictures and the filter's margin
// around them, and is told where its pictures start in it.
void SeamsTest::exactSeams_giveOnePiecesBytes()
{
    QFETCH(bool, filter);
    if (!haveReference())
        QSKIP("the reference encoder and decoder are not in ../shared/testdata/reference-encoder/bin");
    const QString folder = file(filter ? QStringLiteral("filtered") : QStringLiteral("plain"));
    QVERIFY(QDir().mkpath(folder));
    QByteArray base = TestSupport::readFile(config);
    if (filter) {
        base = stockConfig();
        QVERIFY(base.contains("TemporalFilter                : 1"));
    }
    const QByteArray raw = TestSupport::readFile(sequence);

    QList<EncoderRun> runs{{folder + "/one.cfg", sequence, folder + "/one.265"}};
    QVERIFY(TestSupport::writeFile(runs.first().config, base + keys({{"FramesToBeEncoded", kPictures}})));
    QStringList segments;
    for (int first = 0; first + 1 < kPictures; first += kIntraPeriod) {
        const int count = qMin(kIntraPeriod + 1, kPictures - first);
        const int fileFirst = filter ? qMax(0, first - kFilterMargin) : 0;
        const int fileEnd = filter ? qMin(kPictures, first + count + kFilterMargin) : kPictures;
        EncoderRun run{folder + QStringLiteral("/part_%1.cfg").arg(first), sequence,
                       folder + QStringLiteral("/part_%1.265").arg(first)};
        if (filter) {
            run.input = folder + QStringLiteral("/part_%1.yuv").arg(first);
            QVERIFY(TestSupport::writeFile(run.input, raw.mid(fileFirst * kPictureBytes, (fileEnd - fileFirst) * kPictureBytes)));
        }
        QVERIFY(TestSupport::writeFile(run.config, base + keys({{"FrameSkip", first - fileFirst},
                                                                {"FramesToBeEncoded", count},
                                                                {"FirstValidFrame", 0},
                                                                {"LastValidFrame", fileEnd - fileFirst - 1}})));
        runs << run;
        segments << run.output;
    }
    QString why;
    QVERIFY2(encodeAll(runs, &why), qPrintable(why));

    const QString joined = folder + "/joined.265";
    const JoinResult result = SegmentJoiner::join(joined, segments, nullptr, overlaps(2));
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.exactSeams(), 2);
    QVERIFY(TestSupport::readFile(joined) == TestSupport::readFile(folder + "/one.265"));
    const TestSupport::HashCheck check = TestSupport::referenceHashCheck(joined);
    QCOMPARE(check.pictures, kPictures);
    QVERIFY2(check.matched == kPictures && check.mismatched == 0, qPrintable(check.tail));
}

// A later segment made from a sequence with one sample of its first picture changed: the seam
// is not proven, by the pictures' hashes or, without them, by the pictures decoded, and
// nothing is written. Looked at for an overlap, it is joined closed, as the segments are. The
// same segments with their copies alike, without hashes, are proven by decoding.
void SeamsTest::seamWhoseCopiesDiffer_isNeverJoinedExactly()
{
    if (!haveReference())
        QSKIP("the reference encoder and decoder are not in ../shared/testdata/reference-encoder/bin");
    const QString folder = file(QStringLiteral("differ"));
    QVERIFY(QDir().mkpath(folder));
    const QByteArray base = TestSupport::readFile(config);
    QList<EncoderRun> runs{{folder + "/a.cfg", sequence, folder + "/a.265"},
                           {folder + "/b.cfg", sequence, folder + "/b.265"},
                           {folder + "/changed.cfg", changedSequence, folder + "/changed.265"}};
    QVERIFY(TestSupport::writeFile(runs.at(0).config, base + keys({{"FramesToBeEncoded", kIntraPeriod + 1}})));
    for (int i = 1; i < 3; ++i)
        QVERIFY(TestSupport::writeFile(runs.at(i).config, base + keys({{"FrameSkip", kIntraPeriod},
                                                                       {"FramesToBeEncoded", kIntraPeriod + 1}})));
    QString why;
    QVERIFY2(encodeAll(runs, &why), qPrintable(why));
    for (const QString name : {"a", "b", "changed"})
        QVERIFY(TestSupport::writeFile(folder + "/" + name + "-bare.265",
                                       withoutSei(TestSupport::readFile(folder + "/" + name + ".265"))));

    const QString output = folder + "/joined.265";
    const struct { const char *earlier, *later, *reason; } unproven[] = {
        {"a", "changed", "the decoded picture hashes of its two copies differ"},
        {"a-bare", "changed-bare", "its two copies decode to different pictures"},
    };
    for (const auto &seam : unproven) {
        const QStringList segments{folder + "/" + seam.earlier + ".265", folder + "/" + seam.later + ".265"};
        const JoinResult refused = SegmentJoiner::join(output, segments, nullptr, overlaps(1));
        QVERIFY(!refused.ok);
        QCOMPARE(refused.seams.size(), 1);
        QCOMPARE(refused.seams.first().kind, SeamVerdict::NotProven);
        QCOMPARE(refused.seams.first().reason, QString::fromLatin1(seam.reason));
        QVERIFY2(refused.error.contains(seam.reason), qPrintable(refused.error));
        QVERIFY(!QFileInfo::exists(output));

        const JoinResult closed = SegmentJoiner::join(output, segments, nullptr, {SegmentJoiner::Seam::Detect});
        QVERIFY2(closed.ok, qPrintable(closed.error));
        QCOMPARE(closed.seams.first().kind, SeamVerdict::Closed);
        QCOMPARE(closed.seams.first().reason, QString::fromLatin1(seam.reason));
        QVERIFY(TestSupport::readFile(output) == TestSupport::readFile(segments.at(0)) + TestSupport::readFile(segments.at(1)));
        QVERIFY(QFile::remove(output));
    }

    const JoinResult proven = SegmentJoiner::join(output, {folder + "/a-bare.265", folder + "/b-bare.265"}, nullptr, overlaps(1));
    QVERIFY2(proven.ok, qPrintable(proven.error));
    QCOMPARE(proven.seams.first().kind, SeamVerdict::Exact);
    QCOMPARE(TestSupport::probeVideo(output).frames, 2 * kIntraPeriod + 1);
}

void SeamsTest::segmentsAndTasks_giveOnePiecesBytes_data()
{
    QTest::addColumn<bool>("filter");
    QTest::addColumn<bool>("decoded");
    QTest::newRow("hevczent.cfg") << false << false;
    QTest::newRow("stock random access file, temporal filter on") << true << false;
    QTest::newRow("temporal filter on, a decoded input that seeks") << true << true;
}

// The program in one piece against the program with -j 2 (segments of one intra period, each
// but the last also coding the next one's first picture, the filter handed its margin) and
// against three --start/--frames tasks with --overlap joined by --join: the same bytes, and
// the reference decoder checks every picture's hash. A decoded input (keyframes every 10
// pictures, so that a segment's decode seeks to the filter's first picture before it) is
// encoded in one piece and in segments only.
void SeamsTest::segmentsAndTasks_giveOnePiecesBytes()
{
    QFETCH(bool, filter);
    QFETCH(bool, decoded);
    if (!haveReference())
        QSKIP("the reference encoder and decoder are not in ../shared/testdata/reference-encoder/bin");
    const QString folder = file(QStringLiteral("program-%1-%2").arg(filter).arg(decoded));
    QVERIFY(QDir().mkpath(folder));
    QString input = folder + QStringLiteral("/sequence_%1x%2.yuv").arg(kSmallWidth).arg(kSmallHeight);
    QVERIFY(makeSequence(input, kSmallWidth, kSmallHeight));
    if (decoded) {
        QVERIFY(TestSupport::ffmpeg({"-f", "rawvideo", "-s", QStringLiteral("%1x%2").arg(kSmallWidth).arg(kSmallHeight),
                                     "-pix_fmt", "yuv420p", "-r", "25", "-i", input, "-c:v", "ffv1", "-g", "10",
                                     folder + "/sequence.mkv"}));
        input = folder + "/sequence.mkv";
    }
    const QString cfg = filter ? folder + QStringLiteral("/stock.cfg") : config;
    if (filter)
        QVERIFY(TestSupport::writeFile(cfg, stockConfig()));
    const QString cli = TestSupport::binDir() + QStringLiteral("/morlunex-cli");
    const QStringList common{"-e", TestSupport::referenceTool(QStringLiteral("TAppEncoder")), "-c", cfg,
                             "--progress", "none"};

    QList<Command> runs{{cli, common + QStringList{"-q", "-o", "one.265", input}, folder}};
    QStringList parts;
    for (int first = 0; !decoded && first + 1 < kPictures; first += kIntraPeriod) {
        parts << QStringLiteral("part_%1.265").arg(first, 7, 10, QLatin1Char('0'));
        runs << Command{cli, common + QStringList{"-q", "--start", QString::number(first), "--frames",
                                                  QString::number(kIntraPeriod), "--overlap", "-o", parts.last(), input},
                        folder};
    }
    QString why;
    QVERIFY2(runAll(runs, &why), qPrintable(why));
    const QByteArray one = TestSupport::readFile(folder + "/one.265");

    const TestSupport::RunResult job = TestSupport::run(cli, common + QStringList{"-j", "2", "-o", "two.265", input},
                                                        300000, folder);
    QVERIFY(job.finished);
    QVERIFY2(job.exitCode == 0, job.err.right(2000).constData());
    QVERIFY2(job.err.contains("Segments are joined seamlessly: every seam's picture was encoded twice and matched"),
             job.err.right(2000).constData());
    QVERIFY(TestSupport::readFile(folder + "/two.265") == one);
    const TestSupport::HashCheck check = TestSupport::referenceHashCheck(folder + "/two.265");
    QCOMPARE(check.pictures, kPictures);
    QVERIFY2(check.matched == kPictures && check.mismatched == 0, qPrintable(check.tail));
    if (decoded)
        return;

    const TestSupport::RunResult join = TestSupport::run(
        cli, QStringList{"--join", "joined.265", "--expect", QString::number(kPictures)} + parts, 120000, folder);
    QVERIFY(join.finished);
    QVERIFY2(join.exitCode == 0, join.err.constData());
    QVERIFY2(join.err.contains("Joined 3 segments into joined.265. 2 of 2 seams exact"), join.err.constData());
    QVERIFY(TestSupport::readFile(folder + "/joined.265") == one);
}

// An encoder whose copy of a segment's first picture differs from the copy the segment before
// coded (a script that changes one sample of its input's first picture): the job encodes the
// segments before such seams again the closed way, says which seam and why, the job record
// says so for later runs, and what comes out decodes with every picture's hash matching.
void SeamsTest::seamNotProven_segmentBeforeEncodedClosed()
{
    if (!haveReference())
        QSKIP("the reference encoder and decoder are not in ../shared/testdata/reference-encoder/bin");
    const QString folder = file(QStringLiteral("flipped"));
    QVERIFY(QDir().mkpath(folder));
    const QString input = folder + QStringLiteral("/sequence_%1x%2.yuv").arg(kSmallWidth).arg(kSmallHeight);
    QVERIFY(makeSequence(input, kSmallWidth, kSmallHeight));
    const QString script = folder + QStringLiteral("/flip.sh");
    QVERIFY(TestSupport::writeFile(script, QStringLiteral(
        "#!/bin/sh\n"
        "copy=\"$4.flipped\"\n"
        "cat \"$4\" > \"$copy\" || exit 1\n"
        "b=$(od -An -tu1 -j%1 -N1 \"$copy\" | tr -d ' ')\n"
        "printf \"\\\\$(printf %o $((b ^ 32)))\" | dd of=\"$copy\" bs=1 seek=%1 conv=notrunc status=none\n"
        "cfg=\"$2\"\nshift 4\n"
        "exec \"%2\" -c \"$cfg\" -i \"$copy\" \"$@\"\n")
        .arg(kSmallWidth + 7).arg(TestSupport::referenceTool(QStringLiteral("TAppEncoder"))).toUtf8()));
    QVERIFY(QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner));

    const QString cli = TestSupport::binDir() + QStringLiteral("/morlunex-cli");
    const TestSupport::RunResult job = TestSupport::run(
        cli, {"-e", script, "-c", config, "--progress", "none", "-j", "2", "--frames", QString::number(2 * kIntraPeriod + 1),
              "-o", "out.265", input}, 300000, folder);
    QVERIFY(job.finished);
    QVERIFY2(job.exitCode == 0, job.err.right(2000).constData());
    const QByteArray log = job.err;
    QVERIFY2(log.contains("is not exact: the decoded picture hashes of its two copies differ. Segment 1/")
                 && log.contains("is encoded again the closed way."), log.right(2000).constData());
    QVERIFY2(log.contains("now says that this encoder and configuration give closed seams"), log.right(2000).constData());
    QVERIFY(!log.contains("Segments are joined seamlessly"));
    const TestSupport::HashCheck check = TestSupport::referenceHashCheck(folder + "/out.265");
    QCOMPARE(check.pictures, 2 * kIntraPeriod + 1);
    QVERIFY2(check.matched == check.pictures && check.mismatched == 0, qPrintable(check.tail));
}

void SeamsTest::segmentsOffThePeriods_areClosedAndSayWhy_data()
{
    QTest::addColumn<bool>("filter");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("told");
    QTest::newRow("one and a half intra periods") << false << kIntraPeriod * 3 / 2
        << QStringLiteral("The seam is joined the closed way, each costing about one GOP of rate more than "
                          "one piece, because the segments that start 24 pictures into the job start inside an intra "
                          "period (IntraPeriod 16 in ");
    QTest::newRow("a filter key every 32 pictures, intra periods of 16") << true << kIntraPeriod
        << QStringLiteral("All 2 seams are joined the closed way, each costing about one GOP of rate more than "
                          "one piece, because the segments that start 16 pictures into the job start an intra "
                          "period but not a period of the temporal filter's strength keys, which count every 32 "
                          "pictures from the first; segments whose lengths are multiples of 32 pictures");
}

// Segments of a length of the user's that does not let seams be exact: the log says once which
// segments and why, and the joined stream decodes with every picture's hash matching.
void SeamsTest::segmentsOffThePeriods_areClosedAndSayWhy()
{
    constexpr int kFrames = 2 * kIntraPeriod + 1;
    QFETCH(bool, filter);
    QFETCH(int, length);
    QFETCH(QString, told);
    if (!haveReference())
        QSKIP("the reference encoder and decoder are not in ../shared/testdata/reference-encoder/bin");
    const QString folder = file(QStringLiteral("off-%1").arg(length));
    QVERIFY(QDir().mkpath(folder));
    const QString input = folder + QStringLiteral("/sequence_%1x%2.yuv").arg(kSmallWidth).arg(kSmallHeight);
    QVERIFY(makeSequence(input, kSmallWidth, kSmallHeight));
    QString cfg = config;
    if (filter) {
        cfg = folder + QStringLiteral("/stock.cfg");
        QVERIFY(TestSupport::writeFile(cfg, stockConfig() + "TemporalFilterStrengthFrame32 : 1.5\n"));
    }
    const TestSupport::RunResult job = TestSupport::run(
        TestSupport::binDir() + QStringLiteral("/morlunex-cli"),
        {"-e", TestSupport::referenceTool(QStringLiteral("TAppEncoder")), "-c", cfg, "--progress", "none", "-j", "2",
         "--segment-length", QString::number(length), "--frames", QString::number(kFrames), "-o", "out.265", input},
        300000, folder);
    QVERIFY(job.finished);
    QVERIFY2(job.exitCode == 0, job.err.right(2000).constData());
    QVERIFY2(job.err.count(told.toUtf8()) == 1, job.err.left(3000).constData());
    QVERIFY(!job.err.contains("Segments are joined seamlessly"));
    const TestSupport::HashCheck check = TestSupport::referenceHashCheck(folder + "/out.265");
    QCOMPARE(check.pictures, kFrames);
    QVERIFY2(check.matched == kFrames && check.mismatched == 0, qPrintable(check.tail));
}

// Three parts made as tasks (--start 0/16/32 --frames 16 --overlap, a picture hash in every
// picture, one slice each), and one byte flipped in each of the last part's final eight slices
// in turn: the join ends with 65, naming the part and the picture whose hash does not match, and
// writes nothing; the parts as they were join. The decode of a part's end alone let two of these
// through, as only the hashes of all its pictures show them.
void SeamsTest::damagedLastPart_isRefusedNamingThePicture()
{
    if (!haveReference())
        QSKIP("the reference encoder and decoder are not in ../shared/testdata/reference-encoder/bin");
    const QString folder = file(QStringLiteral("damaged"));
    QVERIFY(QDir().mkpath(folder));
    const QString input = folder + QStringLiteral("/sequence_176x144.yuv");
    QVERIFY(makeSequence(input, 176, 144));
    const QString cfg = folder + QStringLiteral("/qp37.cfg");
    QVERIFY(TestSupport::writeFile(cfg, TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg")
                                            + keys({{"IntraPeriod", kIntraPeriod}, {"QP", 37},
                                                    {"SEIDecodedPictureHash", 1}})));
    const QString cli = TestSupport::binDir() + QStringLiteral("/morlunex-cli");
    QList<Command> runs;
    QStringList parts;
    for (int first = 0; first < 3 * kIntraPeriod; first += kIntraPeriod) {
        parts << QStringLiteral("part_%1.265").arg(first, 7, 10, QLatin1Char('0'));
        runs << Command{cli, {"-q", "-e", TestSupport::referenceTool(QStringLiteral("TAppEncoder")), "-c", cfg,
                              "--start", QString::number(first), "--frames", QString::number(kIntraPeriod),
                              "--overlap", "-o", parts.last(), input},
                        folder};
    }
    QString why;
    QVERIFY2(runAll(runs, &why), qPrintable(why));

    const QByteArray last = TestSupport::readFile(folder + "/" + parts.last());
    QList<qsizetype> slices;   // where each slice's NAL unit header is
    const Codec &hevc = HevcCodec::instance();
    for (qsizetype at = last.indexOf(QByteArray("\0\0\1", 3)); at >= 0; at = last.indexOf(QByteArray("\0\0\1", 3), at + 3))
        if (hevc.kind(hevc.header(last.constData() + at + 3).type) == Codec::Kind::Slice)
            slices << at + 3;
    QVERIFY(slices.size() > 8);
    for (qsizetype i = slices.size() - 8; i < slices.size(); ++i) {
        const QString flipped = folder + QStringLiteral("/flip %1").arg(i);
        QVERIFY(QDir().mkpath(flipped));
        for (const QString &part : parts)
            QVERIFY(QFile::copy(folder + "/" + part, flipped + "/" + part));
        const qsizetype next = last.indexOf(QByteArray("\0\0\1", 3), slices.at(i));
        QVERIFY(next < 0 || next > slices.at(i) + 40);
        QByteArray damaged = last;
        damaged[slices.at(i) + 40] = char(~damaged.at(slices.at(i) + 40));
        QVERIFY(TestSupport::writeFile(flipped + "/" + parts.last(), damaged));
        const TestSupport::RunResult join = TestSupport::run(cli, QStringList{"--join", "joined.265"} + parts, 60000, flipped);
        const QString where = QStringLiteral("slice %1: %2").arg(i).arg(QString::fromUtf8(join.err));
        QVERIFY2(join.finished && join.exitCode == 65, qPrintable(where));
        QVERIFY2(join.err.startsWith("morlunex-cli: the segment part_0000032.265 is damaged: its picture ")
                     && join.err.contains("does not match its decoded picture hash (MD5)")
                     && join.err.endsWith("; nothing was written\n"), qPrintable(where));
        QVERIFY2(!QFileInfo::exists(flipped + "/joined.265"), qPrintable(where));
    }
    const TestSupport::RunResult whole = TestSupport::run(cli, QStringList{"--join", "joined.265"} + parts, 60000, folder);
    QVERIFY2(whole.finished && whole.exitCode == 0, whole.err.constData());
}

QTEST_GUILESS_MAIN(SeamsTest)
#include "tst_seams.moc"
