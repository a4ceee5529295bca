// The bundled stand-in encoder, run as its own program from the build's bin folder: its
// configuration syntax and switches, the reference encoder's stock files, inputs that are still
// growing, come through a pipe or end early, pictures smaller than the library's blocks, an
// encoder stopped by a signal, and a report that must agree with the bitstream it wrote.

#include "support/testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int side = 64;
const int pictureBytes = side * side * 3 / 2;

QString encoderProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-hevc-encoder");
}

// Switches every run needs; a preset of our own keeps the suite fast.
QStringList baseArguments(const QString &raw, const QString &bitstream)
{
    return {"-i", raw, "-b", bitstream, "-wdt", QString::number(side), "-hgt", QString::number(side),
            "--MlxPreset=ultrafast"};
}

TestSupport::RunResult encode(const QStringList &arguments, const QString &workingDirectory = QString())
{
    return TestSupport::run(encoderProgram(), arguments, 60000, workingDirectory);
}

struct PictureLine
{
    int poc = 0;
    char slice = 0;
    qint64 bits = 0;
    double psnr[3] = {0, 0, 0};
};

// The per-picture lines, parsed by the exact shape users' scripts rely on.
QList<PictureLine> pictureLines(const QByteArray &out)
{
    static const QRegularExpression shape(
        QStringLiteral(R"(^POC +(\d+) TId: \d \( ([IPBb])-SLICE, nQP \d+ QP \d+ \) +(\d+) bits )"
                       R"(\[Y (\d+\.\d{4}) dB    U (\d+\.\d{4}) dB    V (\d+\.\d{4}) dB\]$)"),
        QRegularExpression::MultilineOption);
    QList<PictureLine> lines;
    auto matches = shape.globalMatch(QString::fromLatin1(out));
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        PictureLine line;
        line.poc = match.captured(1).toInt();
        line.slice = match.captured(2).at(0).toLatin1();
        line.bits = match.captured(3).toLongLong();
        for (int plane = 0; plane < 3; ++plane)
            line.psnr[plane] = match.captured(4 + plane).toDouble();
        lines.append(line);
    }
    return lines;
}

// Whether the output has a line matching pattern.
bool matches(const QByteArray &out, const QString &pattern)
{
    return QRegularExpression(pattern, QRegularExpression::MultilineOption)
        .match(QString::fromLatin1(out)).hasMatch();
}

// Raw planar pictures of a moving test pattern, made by the ffmpeg tool.
QByteArray makeRaw(const QString &path, int pictures, const QString &pixelFormat = QStringLiteral("yuv420p"),
                   int width = side, int height = side)
{
    if (pictures == 0)
        return TestSupport::writeFile(path, QByteArray()) ? QByteArray("") : QByteArray();
    if (!TestSupport::ffmpeg({"-f", "lavfi", "-i", QStringLiteral("testsrc2=size=%1x%2:rate=25").arg(width).arg(height),
                              "-frames:v", QString::number(pictures), "-pix_fmt", pixelFormat,
                              "-f", "rawvideo", path}))
        return QByteArray();
    return TestSupport::readFile(path);
}

// Samples above 8 bits take two bytes, little-endian. The peak is 255 scaled to the depth, as the
// reference encoder and the library have it.
double psnr(const char *a, const char *b, int samples, int depth = 8)
{
    const auto sample = [depth](const char *plane, int i) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(plane);
        return depth > 8 ? double(bytes[2 * i] | bytes[2 * i + 1] << 8) : double(bytes[i]);
    };
    double error = 0;
    for (int i = 0; i < samples; ++i) {
        const double difference = sample(a, i) - sample(b, i);
        error += difference * difference;
    }
    const double peak = 255 << (depth - 8);
    return error == 0 ? 99.99 : 10.0 * std::log10(peak * peak * samples / error);
}

// Reads the process's standard output until it holds needle or the time is up.
bool waitForOutput(QProcess &process, QByteArray &out, const QByteArray &needle, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!out.contains(needle) && timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(50);
        out += process.readAllStandardOutput();
    }
    return out.contains(needle);
}

} // namespace

class EncoderToolTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void configuration_data();
    void configuration();
    void commandLine_data();
    void commandLine();
    void stockConfigurations_data();
    void stockConfigurations();
    void defaultConfiguration_runsAndSuitsTheReferenceEncoder();
    void intraPeriod_data();
    void intraPeriod();
    void completeInput_data();
    void completeInput();
    void growingInput_encodesEveryPictureAndEndsWhenTheWriterCloses();
    void writerKeepsFileOpen_data();
    void writerKeepsFileOpen();
    void report_data();
    void report();
    void streamInput_data();
    void streamInput();
    void smallPictures_data();
    void smallPictures();
    void stoppedBySignal_data();
    void stoppedBySignal();
};

void EncoderToolTest::initTestCase()
{
    QVERIFY2(QFileInfo(encoderProgram()).isExecutable(), qPrintable(encoderProgram()));
}

void EncoderToolTest::configuration_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // pattern on standard output

    const QString qp27 = QStringLiteral(R"(^QP +: 27$)");
    QTest::newRow("no blanks around the colon") << QByteArray("QP:27\n") << QStringList() << 0 << qp27;
    QTest::newRow("blanks and tabs around the colon")
        << QByteArray("QP   \t:  \t 27   \n") << QStringList() << 0 << qp27;
    QTest::newRow("windows line ends") << QByteArray("QP : 27\r\n") << QStringList() << 0 << qp27;
    QTest::newRow("trailing comment") << QByteArray("QP : 27    # was 32\n") << QStringList() << 0 << qp27;
    QTest::newRow("comment lines, indented too")
        << QByteArray("# QP : 40\n      # QP : 41\n\nQP : 27\n") << QStringList() << 0 << qp27;
    QTest::newRow("gop lines and unknown keys are accepted")
        << QByteArray("Frame1:  B    1   5       -6.5      0.2590    0   0   1.0   0   0   0   4   4   -1 -9 -17 -25   0\n"
                      "Frame2:  B    2   4  -6.5  0.2590  0  0  1.0  0  0  0  4  4  -1 -2 -10 -18  1  -1  5  1 1 1 0 1\n"
                      "SomeFutureKey : 1 2 3   # with a comment\n"
                      "WarnUnknowParameter : 1\n"
                      "QP : 27\n")
        << QStringList() << 0 << qp27;
    QTest::newRow("keys are case-sensitive")
        << QByteArray("qp : 40\n") << QStringList() << 0 << QStringLiteral(R"(^QP +: 32$)");
    QTest::newRow("a later line wins")
        << QByteArray("QP : 40\nQP : 27\n") << QStringList() << 0 << qp27;
    QTest::newRow("a switch after -c overrides the file")
        << QByteArray("QP : 40\n") << QStringList{"-q", "27"} << 0 << qp27;
    QTest::newRow("a key switch after -c overrides the file")
        << QByteArray("MlxPreset : medium\n") << QStringList{"--MlxPreset=superfast"} << 0
        << QStringLiteral(R"(^Preset +: superfast$)");
    QTest::newRow("fractional picture rate")
        << QByteArray("FrameRate : 29.97\n") << QStringList() << 0
        << QStringLiteral(R"(^Real +Format +: 64x64 29.97Hz$)");

    QTest::newRow("bad value") << QByteArray("\nQP : abc\n") << QStringList() << 2
                               << QStringLiteral(R"(^Error: bad value "abc" for QP \(.*:2\))");
    QTest::newRow("a hash inside a word is no comment")
        << QByteArray("QP : 27#x\n") << QStringList() << 2 << QStringLiteral(R"(bad value "27#x" for QP)");
    QTest::newRow("value out of range")
        << QByteArray("QP : 52\n") << QStringList() << 2 << QStringLiteral("for QP .*0 to 51");
    QTest::newRow("empty value")
        << QByteArray("FrameRate :   # none\n") << QStringList() << 2 << QStringLiteral(R"(bad value "" for FrameRate)");
    QTest::newRow("line without a colon")
        << QByteArray("QP 27\n") << QStringList() << 2 << QStringLiteral("malformed line .*:1");
    QTest::newRow("8-bit input coded at 10 bits")
        << QByteArray("InternalBitDepth : 10\n") << QStringList() << 0 << QStringLiteral(R"(^Internal Bit Depth +: 10$)");
    QTest::newRow("input deeper than 16 bits")
        << QByteArray("InputBitDepth : 17\n") << QStringList() << 2 << QStringLiteral("for InputBitDepth .*8 to 16");
    QTest::newRow("a depth the library does not code")
        << QByteArray("InternalBitDepth : 14\n") << QStringList() << 2
        << QStringLiteral("^Error: cannot code 14-bit samples .*: the encoding library codes 8, 10 or 12 bits$");
    QTest::newRow("16-bit input coded at its own depth")
        << QByteArray("InputBitDepth : 16\n") << QStringList() << 2 << QStringLiteral("^Error: cannot code 16-bit samples");
    QTest::newRow("chroma at another depth")
        << QByteArray("InputBitDepth : 10\nInternalBitDepthC : 8\n") << QStringList() << 2
        << QStringLiteral("^Error: InternalBitDepthC 8 differs from the coded depth 10");
    QTest::newRow("another coded chroma format")
        << QByteArray("ChromaFormatIDC : 444\n") << QStringList() << 2
        << QStringLiteral("^Error: ChromaFormatIDC 444 differs from InputChromaFormat 420");
    QTest::newRow("unknown chroma format")
        << QByteArray("InputChromaFormat : 411\n") << QStringList() << 2 << QStringLiteral("for InputChromaFormat");
    QTest::newRow("intra period zero")
        << QByteArray("IntraPeriod : 0\n") << QStringList() << 2 << QStringLiteral("for IntraPeriod");
    QTest::newRow("misspelt key of our own")
        << QByteArray("MlxPresett : fast\n") << QStringList() << 2 << QStringLiteral("unknown parameter MlxPresett");
    QTest::newRow("unknown preset")
        << QByteArray("MlxPreset : warp\n") << QStringList() << 2 << QStringLiteral("for MlxPreset");
    QTest::newRow("unknown library parameter")
        << QByteArray("MlxX265Params : no-such-thing=1\n") << QStringList() << 2
        << QStringLiteral("unknown library parameter \"no-such-thing\"");
    // The library gives its reasons on standard error only; the transcoder shows standard output.
    QTest::newRow("value the library refuses, with its reason")
        << QByteArray("MlxX265Params : qp=200\n") << QStringList() << 5
        << QStringLiteral("^Error: the encoding library refused the parameters: QP exceeds supported range");
    QTest::newRow("all of the library's reasons on one line")
        << QByteArray("MlxX265Params : bframes=99\n") << QStringList() << 5
        << QStringLiteral("^Error: .*: Lookahead depth must be greater than .*; max consecutive bframe count");
    QTest::newRow("explicit CTU larger than the picture")
        << QByteArray("MlxX265Params : ctu=64\n") << QStringList{"-hgt", "48"} << 5
        << QStringLiteral("^Error: .*: Picture size must be at least one CTU$");
}

void EncoderToolTest::configuration()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, switches);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);

    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath("in.yuv");
    const QString cfg = env.filePath("test.cfg");
    QVERIFY(!makeRaw(raw, 2).isEmpty());
    QVERIFY(TestSupport::writeFile(cfg, text));

    const auto result = encode(baseArguments(raw, env.filePath("out.265")) + QStringList{"-c", cfg} + switches);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(matches(result.out, expected), result.out.constData());
    if (exitCode == 0)
        QCOMPARE(pictureLines(result.out).size(), 2);
    else
        QVERIFY2(result.err.contains("Error: "), result.err.constData());
    if (exitCode == 5) // still on standard error too, and nothing written
        QVERIFY2(result.err.contains("x265 [error]: ") && !QFile::exists(env.filePath("out.265")),
                 result.err.constData());
}

void EncoderToolTest::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments"); // RAW, OUT, SYMLINK, HARDLINK, CFG, CFGLINK: the test's files
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected");

    const QStringList valid{"-i", "RAW", "-b", "OUT", "-wdt", "64", "-hgt", "64", "--MlxPreset=ultrafast"};
    QTest::newRow("all switches") << valid + QStringList{"-f", "2", "-fr", "30", "-q", "30", "-fs", "1", "-ip", "1"}
                                  << 0 << QStringLiteral(R"(^QP +: 30$)");
    QTest::newRow("help") << QStringList{"--help"} << 0 << QStringLiteral("^Usage: ");
    QTest::newRow("no arguments") << QStringList() << 1 << QStringLiteral("^Usage: ");
    QTest::newRow("unknown switch") << valid + QStringList{"-zz", "1"} << 1
                                    << QStringLiteral(R"(unknown switch "-zz"(.|\n)*Usage: )");
    QTest::newRow("switch without its value") << valid + QStringList{"-q"} << 1
                                              << QStringLiteral("switch -q needs a value");
    QTest::newRow("malformed switch value") << QStringList{"-wdt", "6x4"} + valid.mid(2) << 1
                                            << QStringLiteral(R"(bad value "6x4" for SourceWidth \(switch -wdt\))");
    QTest::newRow("key switch without a value") << valid + QStringList{"--QP"} << 1
                                                << QStringLiteral("malformed switch");
    QTest::newRow("stray argument") << valid + QStringList{"extra"} << 1 << QStringLiteral("unexpected argument");
    QTest::newRow("no picture size") << valid.mid(0, 4) << 1 << QStringLiteral("no picture size");
    QTest::newRow("odd height in 4:2:0") << valid + QStringList{"-hgt", "63"} << 2
                                         << QStringLiteral("height must be even");
    QTest::newRow("missing configuration file") << valid + QStringList{"-c", "/nonexistent/x.cfg"} << 2
                                                << QStringLiteral("cannot open configuration file");
    QTest::newRow("missing input file") << QStringList{"-i", "/nonexistent/in.yuv"} + valid.mid(2) << 3
                                        << QStringLiteral(R"(^Error: cannot open input file "/nonexistent/in.yuv")");
    QTest::newRow("bitstream cannot be created") << valid.mid(0, 2) + QStringList{"-b", "/nonexistent/out.265"} + valid.mid(4)
                                                 << 4 << QStringLiteral("cannot create bitstream file");
    // Opening the bitstream file empties it before a single picture is read.
    QTest::newRow("bitstream file is the input") << QStringList{"-i", "RAW", "-b", "RAW"} + valid.mid(4) << 4
                                                 << QStringLiteral(R"(^Error: the bitstream file ".*/in.yuv" is the input)");
    QTest::newRow("bitstream file links to the input") << valid.mid(0, 2) + QStringList{"-b", "SYMLINK"} + valid.mid(4)
                                                       << 4 << QStringLiteral(R"(^Error: the bitstream file ".*/link.yuv" is)");
    QTest::newRow("input links to the bitstream file") << QStringList{"-i", "SYMLINK", "-b", "RAW"} + valid.mid(4)
                                                       << 4 << QStringLiteral(R"(^Error: the bitstream file ".*/in.yuv" is)");
    QTest::newRow("bitstream file is a hard link to the input") << valid.mid(0, 2) + QStringList{"-b", "HARDLINK"} + valid.mid(4)
                                                                << 4 << QStringLiteral(R"(^Error: the bitstream file ".*/hard.yuv" is)");
    QTest::newRow("bitstream file is a hard link to the configuration")
        << QStringList{"-c", "CFG"} + valid.mid(0, 2) + QStringList{"-b", "CFGLINK"} + valid.mid(4) << 4
        << QStringLiteral(R"(^Error: the bitstream file ".*/cfglink.265" is the configuration file)");
}

void EncoderToolTest::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);

    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath("in.yuv");
    const QString out = env.filePath("out.265");
    const QByteArray data = makeRaw(raw, 3);
    QVERIFY(!data.isEmpty());
    QVERIFY(QFile::link(raw, env.filePath("link.yuv")));
    QVERIFY(::link(QFile::encodeName(raw).constData(), QFile::encodeName(env.filePath("hard.yuv")).constData()) == 0);
    const QByteArray configuration("QP : 30\n");
    QVERIFY(TestSupport::writeFile(env.filePath("my.cfg"), configuration));
    QVERIFY(::link(QFile::encodeName(env.filePath("my.cfg")).constData(),
                   QFile::encodeName(env.filePath("cfglink.265")).constData()) == 0);
    arguments.replaceInStrings(QRegularExpression("^CFG$"), env.filePath("my.cfg"));
    arguments.replaceInStrings(QRegularExpression("^CFGLINK$"), env.filePath("cfglink.265"));
    arguments.replaceInStrings(QRegularExpression("^RAW$"), raw);
    arguments.replaceInStrings(QRegularExpression("^OUT$"), out);
    arguments.replaceInStrings(QRegularExpression("^SYMLINK$"), env.filePath("link.yuv"));
    arguments.replaceInStrings(QRegularExpression("^HARDLINK$"), env.filePath("hard.yuv"));

    const auto result = encode(arguments);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(matches(result.out, expected), result.out.constData());
    if (exitCode != 0) {
        QVERIFY2(result.err.contains("Error: ") || arguments.isEmpty(), result.err.constData());
        QVERIFY(pictureLines(result.out).isEmpty());
    }
    // An input that cannot be opened leaves no empty bitstream behind.
    if (exitCode == 3)
        QVERIFY(!QFile::exists(out));
    QVERIFY(TestSupport::readFile(raw) == data);
    QCOMPARE(TestSupport::readFile(env.filePath("my.cfg")), configuration);
}

void EncoderToolTest::stockConfigurations_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("intraPictures");

    QTest::newRow("all intra") << "encoder_intra_main.cfg" << 6;
    QTest::newRow("low delay") << "encoder_lowdelay_main.cfg" << 1;
    QTest::newRow("random access") << "encoder_randomaccess_main.cfg" << 1;
}

void EncoderToolTest::stockConfigurations()
{
    QFETCH(QString, file);
    QFETCH(int, intraPictures);

    const QString stock = QStringLiteral(MORLUNEX_TESTDATA_DIR "/reference-encoder/") + file;
    if (!QFile::exists(stock))
        QSKIP("The reference encoder's stock files are not beside this clone");

    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath("in.yuv");
    const QString out = env.filePath("out.265");
    QVERIFY(!makeRaw(raw, 8).isEmpty());
    // The source keys come from a per-sequence part in front, as users combine them.
    const QByteArray sequence("FrameRate : 25\nFramesToBeEncoded : 6\nInputBitDepth : 8\n"
                              "InputChromaFormat : 420\nFrameSkip : 0\n");
    const QString cfg = env.filePath("sequence.cfg");
    QVERIFY(TestSupport::writeFile(cfg, sequence + TestSupport::readFile(stock)));

    // Run in a folder of its own: the file's own "BitstreamFile : str.bin" is overridden by -b.
    const QString work = env.filePath("work");
    QVERIFY(QDir().mkpath(work));
    const auto result = encode(QStringList{"-c", cfg} + baseArguments(raw, out), work);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QList<PictureLine> lines = pictureLines(result.out);
    QCOMPARE(lines.size(), 6);
    int intra = 0;
    for (const PictureLine &line : lines)
        intra += line.slice == 'I';
    QCOMPARE(intra, intraPictures);
    QVERIFY(QDir(work).isEmpty());

    const auto probe = TestSupport::probeVideo(out);
    QCOMPARE(probe.codec, QStringLiteral("hevc"));
    QCOMPARE(probe.frames, 6);
    QCOMPARE(probe.width, side);
}

void EncoderToolTest::defaultConfiguration_runsAndSuitsTheReferenceEncoder()
{
    const QString bin = TestSupport::binDir();
    const QString cfg = bin + "/hevczent.cfg";
    const QString alias = bin + "/TAppEncoder_hm80.exe";
    QVERIFY(QFileInfo(alias).isExecutable());

    // What the reference encoder needs to accept the same file.
    const QString text = QString::fromLatin1(TestSupport::readFile(cfg));
    QVERIFY(!text.isEmpty());
    const QRegularExpression key(QStringLiteral(R"(^(\w+)\s*:\s*(\S+))"), QRegularExpression::MultilineOption);
    int warnLine = -1, firstOwnLine = -1, gopSize = -1, gopLines = 0, lineNumber = 0;
    QString temporalFilter;
    for (const QString &line : text.split('\n')) {
        ++lineNumber;
        const auto match = key.match(line);
        if (!match.hasMatch())
            continue;
        const QString name = match.captured(1);
        if (name == "WarnUnknowParameter" && match.captured(2) == "1" && warnLine < 0)
            warnLine = lineNumber;
        if (name.startsWith("Mlx") && firstOwnLine < 0)
            firstOwnLine = lineNumber;
        if (name == "GOPSize")
            gopSize = match.captured(2).toInt();
        if (QRegularExpression("^Frame\\d+$").match(name).hasMatch())
            ++gopLines;
        if (name == "TemporalFilter")
            temporalFilter = match.captured(2);
    }
    QVERIFY(firstOwnLine > 0);
    QVERIFY2(warnLine > 0 && warnLine < firstOwnLine, "WarnUnknowParameter : 1 must precede our own keys");
    QVERIFY(gopSize > 0);
    QCOMPARE(gopLines, gopSize);
    QCOMPARE(temporalFilter, QStringLiteral("0"));
    QVERIFY(text.endsWith('\n'));

    // The window's default encoder name runs the bundled encoder with this file.
    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath("in.yuv");
    const QString out = env.filePath("out.265");
    QVERIFY(!makeRaw(raw, 3).isEmpty());
    const auto result = TestSupport::run(alias, QStringList{"-c", cfg} + baseArguments(raw, out), 60000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(pictureLines(result.out).size(), 3);
    QCOMPARE(TestSupport::probeVideo(out).frames, 3);
}

void EncoderToolTest::intraPeriod_data()
{
    QTest::addColumn<QString>("period");
    QTest::addColumn<QList<int>>("intraPocs");

    QTest::newRow("only the first") << "-1" << QList<int>{0};
    QTest::newRow("every picture") << "1" << QList<int>{0, 1, 2, 3, 4, 5, 6};
    QTest::newRow("every third") << "3" << QList<int>{0, 3, 6};
}

void EncoderToolTest::intraPeriod()
{
    QFETCH(QString, period);
    QFETCH(QList<int>, intraPocs);

    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath("in.yuv");
    QVERIFY(!makeRaw(raw, 7).isEmpty());
    const auto result = encode(baseArguments(raw, env.filePath("out.265")) + QStringList{"-ip", period});
    QCOMPARE(result.exitCode, 0);
    QList<int> pocs;
    for (const PictureLine &line : pictureLines(result.out)) {
        if (line.slice == 'I')
            pocs.append(line.poc);
    }
    std::sort(pocs.begin(), pocs.end());
    QCOMPARE(pocs, intraPocs);
}

void EncoderToolTest::completeInput_data()
{
    QTest::addColumn<int>("pictures");     // whole pictures in the file
    QTest::addColumn<int>("trailingBytes"); // of a partial picture after them
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<int>("encoded");
    QTest::addColumn<QString>("expected");

    QTest::newRow("shorter than FramesToBeEncoded") << 4 << 0 << QStringList{"-f", "10"} << 4
                                                    << QStringLiteral(R"(^\t +4    a )");
    QTest::newRow("FramesToBeEncoded reached first") << 6 << 0 << QStringList{"-f", "4"} << 4
                                                     << QStringLiteral(R"(^\t +4    a )");
    QTest::newRow("trailing partial picture") << 3 << 1000 << QStringList() << 3
                                              << QStringLiteral("^Warning: 1000 bytes at the end");
    QTest::newRow("frame skip") << 6 << 0 << QStringList{"-fs", "2"} << 4 << QStringLiteral(R"(^\t +4    a )");
    QTest::newRow("frame skip beyond the end") << 2 << 0 << QStringList{"-fs", "3"} << 0
                                               << QStringLiteral("no whole picture");
    QTest::newRow("empty input") << 0 << 0 << QStringList() << 0
                                 << QStringLiteral("^Bytes written to file: 0 ");
}

void EncoderToolTest::completeInput()
{
    QFETCH(int, pictures);
    QFETCH(int, trailingBytes);
    QFETCH(QStringList, switches);
    QFETCH(int, encoded);
    QFETCH(QString, expected);

    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath("in.yuv");
    const QString out = env.filePath("out.265");
    QByteArray data = makeRaw(raw, pictures + (trailingBytes ? 1 : 0));
    QCOMPARE(data.size(), (pictures + (trailingBytes ? 1 : 0)) * pictureBytes);
    data.truncate(pictures * pictureBytes + trailingBytes);
    QVERIFY(TestSupport::writeFile(raw, data));

    // No process writes the file, so the end of the data is the end of the input: the
    // default quiet period of 10 s must not come into play.
    QElapsedTimer timer;
    timer.start();
    const auto result = encode(baseArguments(raw, out) + switches);
    QVERIFY(result.finished);
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(pictureLines(result.out).size(), encoded);
    QVERIFY2(matches(result.out, expected), result.out.constData());
    if (encoded > 0)
        QCOMPARE(TestSupport::probeVideo(out).frames, encoded);
}

void EncoderToolTest::growingInput_encodesEveryPictureAndEndsWhenTheWriterCloses()
{
    TestSupport::IsolatedEnvironment env;
    const QString source = env.filePath("source.yuv");
    const QString growing = env.filePath("growing.yuv");
    const QString out = env.filePath("out.265");
    const int total = 16;
    const QByteArray data = makeRaw(source, total);
    QCOMPARE(data.size(), total * pictureBytes);

    QFile writer(growing);
    QVERIFY(writer.open(QIODevice::WriteOnly));
    QVERIFY(writer.write(data.left(2 * pictureBytes)) > 0 && writer.flush());

    // A long quiet period: only the writer closing the file may end this run.
    QProcess encoder;
    encoder.start(encoderProgram(), baseArguments(growing, out) + QStringList{"--MlxQuietPeriod=60"});
    QVERIFY(encoder.waitForStarted(10000));
    QByteArray output;
    for (int picture = 2; picture < total; ++picture) {
        QThread::msleep(40);
        // Half a picture at a time, so that the encoder also meets a partial picture.
        QVERIFY(writer.write(data.mid(picture * pictureBytes, pictureBytes / 2)) > 0 && writer.flush());
        QThread::msleep(20);
        QVERIFY(writer.write(data.mid(picture * pictureBytes + pictureBytes / 2, pictureBytes / 2)) > 0
                && writer.flush());
        output += encoder.readAllStandardOutput();
    }
    // The encoder shows pictures while the input is still open, and keeps waiting for more.
    QVERIFY2(waitForOutput(encoder, output, "POC ", 10000), output.constData());
    QVERIFY2(!encoder.waitForFinished(300), "ended while the writer still had the file open");

    // Ended by the close: its quiet period (60 s) is far longer than this wait.
    writer.close();
    QVERIFY(encoder.waitForFinished(10000));
    output += encoder.readAllStandardOutput();
    QCOMPARE(encoder.exitStatus(), QProcess::NormalExit);
    QCOMPARE(encoder.exitCode(), 0);

    const QList<PictureLine> lines = pictureLines(output);
    QCOMPARE(lines.size(), total);
    QSet<int> pocs;
    for (const PictureLine &line : lines)
        pocs.insert(line.poc);
    QCOMPARE(pocs.size(), total);
    QCOMPARE(TestSupport::probeVideo(out).frames, total);
}

void EncoderToolTest::writerKeepsFileOpen_data()
{
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<int>("encoded");
    QTest::addColumn<int>("minimumMs");
    QTest::addColumn<int>("maximumMs");
    QTest::addColumn<QString>("expected");

    QTest::newRow("FramesToBeEncoded reached") << QStringList{"-f", "3", "--MlxQuietPeriod=60"} << 3 << 0 << 5000
                                               << QStringLiteral("^Bytes written");
    QTest::newRow("quiet period as the last resort") << QStringList{"--MlxQuietPeriod=1"} << 4 << 900 << 5000
                                                     << QStringLiteral("^Warning: the input did not grow for 1 s");
}

void EncoderToolTest::writerKeepsFileOpen()
{
    QFETCH(QStringList, switches);
    QFETCH(int, encoded);
    QFETCH(int, minimumMs);
    QFETCH(int, maximumMs);
    QFETCH(QString, expected);

    TestSupport::IsolatedEnvironment env;
    const QString source = env.filePath("source.yuv");
    const QString growing = env.filePath("growing.yuv");
    const QByteArray data = makeRaw(source, 4);
    QCOMPARE(data.size(), 4 * pictureBytes);
    QFile writer(growing);
    QVERIFY(writer.open(QIODevice::WriteOnly));
    QVERIFY(writer.write(data) == data.size() && writer.flush());

    QElapsedTimer timer;
    timer.start();
    const auto result = encode(baseArguments(growing, env.filePath("out.265")) + switches);
    const qint64 elapsed = timer.elapsed();
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(elapsed >= minimumMs && elapsed < maximumMs, qPrintable(QString::number(elapsed)));
    QCOMPARE(pictureLines(result.out).size(), encoded);
    QVERIFY2(matches(result.out, expected), result.out.constData());
}

void EncoderToolTest::report_data()
{
    QTest::addColumn<int>("chromaFormat");
    QTest::addColumn<QString>("pixelFormat");
    QTest::addColumn<int>("chromaWidth");
    QTest::addColumn<int>("chromaHeight");
    QTest::addColumn<int>("depth");

    QTest::newRow("4:2:0") << 420 << "yuv420p" << side / 2 << side / 2 << 8;
    QTest::newRow("4:2:2") << 422 << "yuv422p" << side / 2 << side << 8;
    QTest::newRow("4:4:4") << 444 << "yuv444p" << side << side << 8;
    QTest::newRow("4:0:0") << 400 << "gray" << 0 << 0 << 8;
    QTest::newRow("10-bit 4:2:0") << 420 << "yuv420p10le" << side / 2 << side / 2 << 10;
    QTest::newRow("12-bit 4:2:2") << 422 << "yuv422p12le" << side / 2 << side << 12;
    QTest::newRow("10-bit 4:0:0") << 400 << "gray10le" << 0 << 0 << 10;
}

// Every figure of the report is checked against the bitstream as the ffmpeg tool decodes it.
void EncoderToolTest::report()
{
    QFETCH(int, chromaFormat);
    QFETCH(QString, pixelFormat);
    QFETCH(int, chromaWidth);
    QFETCH(int, chromaHeight);
    QFETCH(int, depth);

    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath("in.yuv");
    const QString out = env.filePath("out.265");
    const QString decoded = env.filePath("decoded.yuv");
    const int pictures = 6;
    const int sampleBytes = depth > 8 ? 2 : 1;
    const int lumaSize = side * side;
    const int chromaSize = chromaWidth * chromaHeight;
    const int frameSize = (lumaSize + 2 * chromaSize) * sampleBytes;
    const QByteArray input = makeRaw(raw, pictures, pixelFormat);
    QCOMPARE(input.size(), pictures * frameSize);

    // The internal depth follows the input's.
    const auto result = encode(baseArguments(raw, out)
                               + QStringList{"-q", "30", "--InputChromaFormat=" + QString::number(chromaFormat),
                                             "--InputBitDepth=" + QString::number(depth)});
    QCOMPARE(result.exitCode, 0);
    QVERIFY(TestSupport::ffmpeg({"-i", out, "-fps_mode", "passthrough", "-f", "rawvideo", decoded}));
    const QByteArray output = TestSupport::readFile(decoded);
    QCOMPARE(output.size(), input.size()); // same picture count, decoded in the input's own format

    const QList<PictureLine> lines = pictureLines(result.out);
    QCOMPARE(lines.size(), pictures);
    qint64 bits = 0;
    double sumY = 0;
    for (const PictureLine &line : lines) {
        QVERIFY(line.poc >= 0 && line.poc < pictures);
        const int offsets[3] = {0, lumaSize * sampleBytes, (lumaSize + chromaSize) * sampleBytes};
        const int sizes[3] = {lumaSize, chromaSize, chromaSize};
        for (int plane = 0; plane < 3; ++plane) {
            const int at = line.poc * frameSize + offsets[plane];
            const double expected =
                sizes[plane] ? psnr(input.constData() + at, output.constData() + at, sizes[plane], depth) : 0.0;
            QVERIFY2(std::fabs(line.psnr[plane] - expected) < 0.001,
                     qPrintable(QStringLiteral("POC %1 plane %2: reported %3, decoded %4")
                                    .arg(line.poc).arg(plane).arg(line.psnr[plane]).arg(expected)));
        }
        bits += line.bits;
        sumY += line.psnr[0];
    }
    // The pictures' bits add up to the file, which the summary reports to the byte.
    const qint64 fileSize = QFileInfo(out).size();
    QCOMPARE(bits, fileSize * 8);
    QVERIFY2(result.out.contains(QStringLiteral("\nBytes written to file: %1 (%2 kbps)\n")
                                     .arg(fileSize).arg(fileSize * 8.0 * 25 / pictures / 1000.0, 0, 'f', 3)
                                     .toLatin1()),
             result.out.constData());
    const auto summary = QRegularExpression(QStringLiteral(R"(^SUMMARY -+\n.*\n\t +(\d+)    a +[\d.]+ +([\d.]+) )"),
                                            QRegularExpression::MultilineOption)
                             .match(QString::fromLatin1(result.out));
    QVERIFY2(summary.hasMatch(), result.out.constData());
    QCOMPARE(summary.captured(1).toInt(), pictures);
    QVERIFY(std::fabs(summary.captured(2).toDouble() - sumY / pictures) < 0.0002);
    QVERIFY(matches(result.out, QStringLiteral(R"(^ Total Time: +\d+\.\d{3} sec\.)")));
}

void EncoderToolTest::streamInput_data()
{
    QTest::addColumn<int>("block"); // bytes per write into a named pipe; 0: standard input
    QTest::addColumn<int>("trailingBytes");

    QTest::newRow("named pipe, a picture at a time") << pictureBytes << 0;
    QTest::newRow("named pipe, blocks across pictures, partial picture at the end") << 1000 << 2500;
    QTest::newRow("standard input") << 0 << 0;
    QTest::newRow("standard input, partial picture at the end") << 0 << 2500;
}

// The same pictures through a named pipe or standard input give the regular file's bitstream.
void EncoderToolTest::streamInput()
{
    QFETCH(int, block);
    QFETCH(int, trailingBytes);

    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath("in.yuv");
    const QString pipe = env.filePath("mlxtmp_64x64.420");
    QByteArray data = makeRaw(raw, 11);
    QCOMPARE(data.size(), 11 * pictureBytes);
    data.truncate(10 * pictureBytes + trailingBytes);
    QVERIFY(TestSupport::writeFile(raw, data));
    const QStringList oneFrameThread{"--MlxX265Params=frame-threads=1"}; // a deterministic library
    QCOMPARE(encode(baseArguments(raw, env.filePath("file.265")) + oneFrameThread).exitCode, 0);

    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
    QProcess writer; // dd opens the pipe itself: only it waits for the reader, and dies with the test
    if (block)
        writer.start("dd", {"if=" + raw, "of=" + pipe, "bs=" + QString::number(block), "status=none"});
    QProcess encoder;
    encoder.start(encoderProgram(), baseArguments(block ? pipe : "-", env.filePath("stream.265")) + oneFrameThread);
    QVERIFY(encoder.waitForStarted(10000));
    encoder.write(block ? QByteArray() : data);
    encoder.closeWriteChannel();
    QVERIFY(encoder.waitForFinished(60000));
    const QByteArray output = encoder.readAllStandardOutput();
    QCOMPARE(encoder.exitCode(), 0);
    QVERIFY(!block || (writer.waitForFinished(10000) && writer.exitCode() == 0));
    QCOMPARE(pictureLines(output).size(), 10);
    QCOMPARE(matches(output, QStringLiteral("^Warning: %1 bytes at the end").arg(trailingBytes)), trailingBytes > 0);
    QVERIFY(TestSupport::readFile(env.filePath("stream.265")) == TestSupport::readFile(env.filePath("file.265")));
}

void EncoderToolTest::smallPictures_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<int>("ctu");

    // The default configuration's preset takes 64x64 CTUs, the slowest one also deep transform trees.
    const QString medium = QStringLiteral("--MlxPreset=medium");
    QTest::newRow("16x16") << 16 << 16 << QStringList{medium} << 16;
    QTest::newRow("64x48") << 64 << 48 << QStringList{medium} << 32;
    QTest::newRow("16x64, slowest preset") << 16 << 64 << QStringList{"--MlxPreset=placebo"} << 16;
    QTest::newRow("64x64 keeps the preset's CTU") << 64 << 64 << QStringList{medium} << 64;
    QTest::newRow("an explicit CTU wins") << 64 << 48 << QStringList{medium, "--MlxX265Params=ctu=16"} << 16;
}

// Every size the transcoder makes (multiples of 16) encodes, whatever the preset's block size.
void EncoderToolTest::smallPictures()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QStringList, switches);
    QFETCH(int, ctu);

    TestSupport::IsolatedEnvironment env;
    const QString raw = env.filePath("in.yuv");
    const QString out = env.filePath("out.265");
    QCOMPARE(makeRaw(raw, 5, "yuv420p", width, height).size(), 5 * width * height * 3 / 2);
    const auto result = encode(baseArguments(raw, out)
                               + QStringList{"-wdt", QString::number(width), "-hgt", QString::number(height)} + switches);
    QVERIFY(result.finished);
    QVERIFY2(result.exitCode == 0, result.out.constData());
    QVERIFY2(matches(result.out, QStringLiteral(R"(^Morlunex stand-in HEVC encoder \[x265 .*, CTU %1,)").arg(ctu)),
             result.out.constData());
    const auto probe = TestSupport::probeVideo(out);
    QCOMPARE(QList<int>({probe.frames, probe.width, probe.height}), QList<int>({5, width, height}));
}

void EncoderToolTest::stoppedBySignal_data()
{
    QTest::addColumn<bool>("kill"); // SIGKILL, else SIGTERM: how the transcoder stops it

    QTest::newRow("terminated") << false;
    QTest::newRow("killed") << true;
}

// Stopped while it waits for more input, the encoder leaves whole access units that decode up to
// the last picture it reported, or one more written just before its line.
void EncoderToolTest::stoppedBySignal()
{
    QFETCH(bool, kill);

    TestSupport::IsolatedEnvironment env;
    const QString out = env.filePath("out.265");
    const QByteArray data = makeRaw(env.filePath("in.yuv"), 30);
    QCOMPARE(data.size(), 30 * pictureBytes);
    QProcess encoder;
    encoder.start(encoderProgram(), baseArguments("-", out));
    QVERIFY(encoder.waitForStarted(10000));
    encoder.write(data); // standard input stays open: the input never ends
    QByteArray output;
    QElapsedTimer timer;
    timer.start();
    while (pictureLines(output).size() < 8 && timer.elapsed() < 20000) {
        encoder.waitForReadyRead(50);
        output += encoder.readAllStandardOutput();
    }
    QVERIFY2(pictureLines(output).size() >= 8, output.constData());
    kill ? encoder.kill() : encoder.terminate();
    QVERIFY(encoder.waitForFinished(10000));
    QCOMPARE(encoder.exitStatus(), QProcess::CrashExit);
    const qsizetype lines = pictureLines(output + encoder.readAllStandardOutput()).size();
    const int decoded = TestSupport::probeVideo(out).frames;
    QVERIFY2(decoded == lines || decoded == lines + 1,
             qPrintable(QStringLiteral("%1 pictures decoded, %2 reported").arg(decoded).arg(lines)));
}

QTEST_GUILESS_MAIN(EncoderToolTest)
#include "tst_encodertool.moc"
