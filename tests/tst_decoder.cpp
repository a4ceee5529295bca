// Decoder module: pictures and raw file layout against the ffmpeg tool's own raw output,
// open failures with their messages, damaged inputs, failed writes and clean-up.

#include "decode/videodecoder.h"
#include "support/testsupport.h"

#include <QFile>
#include <QtEndian>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

namespace {

// Messages the module logs through FFmpeg's logger (error level, no context).
QStringList loggedErrors;

void captureLog(void *context, int level, const char *format, va_list arguments)
{
    if (context || level != AV_LOG_ERROR)
        return;
    char text[1024];
    vsnprintf(text, sizeof text, format, arguments);
    loggedErrors << QString::fromUtf8(text);
}

// Sends the standard error stream into a file while it lives.
class StderrCapture
{
public:
    explicit StderrCapture(const QString &path)
        : path(path)
    {
        fflush(stderr);
        saved = dup(STDERR_FILENO);
        FILE *target = fopen(QFile::encodeName(path).constData(), "wb");
        dup2(fileno(target), STDERR_FILENO);
        fclose(target);
    }
    ~StderrCapture() { release(); }

    QByteArray release()
    {
        if (saved >= 0) {
            fflush(stderr);
            dup2(saved, STDERR_FILENO);
            close(saved);
            saved = -1;
        }
        return TestSupport::readFile(path);
    }

private:
    QString path;
    int saved = -1;
};

// The ffmpeg tool's raw pictures of a clip (video only) in the given pixel format.
QByteArray toolRaw(const TestSupport::IsolatedEnvironment &env, const QString &clip,
                   const QString &pixelFormat)
{
    const QString raw = env.filePath("tool.raw");
    if (!TestSupport::ffmpeg({"-i", clip, "-an", "-fps_mode", "passthrough", "-f", "rawvideo",
                                 "-pix_fmt", pixelFormat, raw}))
        return QByteArray();
    return TestSupport::readFile(raw);
}

struct DecodeRun
{
    int openResult = -1;
    int endResult = 0;      // the negative result that ended the loop
    int pictures = 0;
    bool sizesMatch = true; // every writeFrame wrote frameByteSize bytes
    FrameInfo first{};
};

// The encode job's loop: next picture, write it, until the decoder stops. A depth asks for
// that output format.
DecodeRun decodeToFile(const QString &clip, const QString &output, int maxPictures = 1000,
                       int depth = 0, int chroma = 0)
{
    DecodeRun run;
    VideoDecoder *decoder = decoderCreate();
    if (depth != 0 && decoderSetOutputFormat(decoder, depth, chroma) != 0)
        run.sizesMatch = false;
    run.openResult = decoderOpen(decoder, clip.toStdString().c_str());
    FILE *file = fopen(output.toStdString().c_str(), "wb");
    while (run.openResult >= 0 && file && run.pictures < maxPictures) {
        FrameInfo info{};
        run.endResult = decoderNextFrame(decoder, &info);
        if (run.endResult < 0)
            break;
        if (run.pictures++ == 0)
            run.first = info;
        if (writeFrame(&info, file) != frameByteSize(&info))
            run.sizesMatch = false;
    }
    if (file)
        fclose(file);
    decoderDestroy(&decoder);
    return run;
}

} // namespace

class TestDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { av_log_set_callback(captureLog); }
    void init() { loggedErrors.clear(); }
    void cleanupTestCase() { av_log_set_callback(av_log_default_callback); }

    void pictures_matchToolOutput_data();
    void pictures_matchToolOutput();
    void end_isSilentAndRepeats();
    void open_failsWithItsMessage_data();
    void open_failsWithItsMessage();
    void damagedInput_endsCleanly_data();
    void damagedInput_endsCleanly();
    void writeFrame_failedWriteFallsShort_data();
    void writeFrame_failedWriteFallsShort();
    void lifecycle_isSafeOnEveryState();
    void outputFormat_depthWithoutAFormatOfItsOwn();
};

void TestDecoder::pictures_matchToolOutput_data()
{
    QTest::addColumn<QStringList>("source");   // ffmpeg arguments that make the clip
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("toolFormat");   // the tool's raw format holding the same pictures
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("dx");
    QTest::addColumn<int>("dy");
    QTest::addColumn<int>("pictures");
    QTest::addColumn<int>("frameBytes");
    QTest::addColumn<int>("pixelFormat");

    const QStringList x264{"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};
    auto lavfi = [](const QString &source, int pictures) {
        return QStringList{"-f", "lavfi", "-i", source, "-frames:v", QString::number(pictures)};
    };
    auto raw = [](const QString &format) {
        return QStringList{"-c:v", "rawvideo", "-pix_fmt", format};
    };
    auto ffv1 = [](const QString &format) {
        return QStringList{"-c:v", "ffv1", "-pix_fmt", format};
    };

    QTest::newRow("176x144 4:2:0, no padding")
        << lavfi("testsrc2=size=176x144", 4) + x264 << "mp4" << "yuv420p"
        << 176 << 144 << 2 << 2 << 4 << 38016 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("1280x720 4:2:0, no padding")
        << lavfi("testsrc2=size=1280x720", 2) + x264 << "mp4" << "yuv420p"
        << 1280 << 720 << 2 << 2 << 2 << 1382400 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("175x99 4:2:0, odd size padded")
        << lavfi("testsrc=size=175x99", 3) + ffv1("yuv420p") << "nut" << "yuv420p"
        << 175 << 99 << 2 << 2 << 3 << 29568 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("1920x1080 4:2:0, padded to 1088")
        << lavfi("testsrc2=size=1920x1080", 2) + x264 << "mp4" << "yuv420p"
        << 1920 << 1080 << 2 << 2 << 2 << 3133440 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("4:2:2 kept, odd size")
        << lavfi("testsrc=size=171x100", 3) + ffv1("yuv422p") << "nut" << "yuv422p"
        << 171 << 100 << 2 << 1 << 3 << 176 * 112 * 2 << int(AV_PIX_FMT_YUV422P);
    QTest::newRow("4:4:4 kept")
        << lavfi("testsrc=size=100x60", 3) + ffv1("yuv444p") << "nut" << "yuv444p"
        << 100 << 60 << 1 << 1 << 3 << 112 * 64 * 3 << int(AV_PIX_FMT_YUV444P);
    QTest::newRow("full-range MJPEG 4:2:2 kept")
        << lavfi("testsrc2=size=176x144", 3) + QStringList{"-c:v", "mjpeg", "-pix_fmt", "yuvj422p"}
        << "avi" << "yuvj422p" << 176 << 144 << 2 << 1 << 3 << 176 * 144 * 2
        << int(AV_PIX_FMT_YUV422P);
    QTest::newRow("10-bit 4:2:0 converted")
        << lavfi("testsrc2=size=176x144", 3) + ffv1("yuv420p10le") << "nut" << "yuv420p"
        << 176 << 144 << 2 << 2 << 3 << 38016 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("12-bit 4:4:4 converted")
        << lavfi("testsrc=size=99x50", 2) + ffv1("yuv444p12le") << "nut" << "yuv420p"
        << 99 << 50 << 2 << 2 << 2 << 112 * 64 * 3 / 2 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("NV12 converted")
        << lavfi("testsrc2=size=176x144", 2) + raw("nv12") << "nut" << "yuv420p"
        << 176 << 144 << 2 << 2 << 2 << 38016 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("packed 4:2:2 converted")
        << lavfi("testsrc2=size=176x144", 2) + raw("yuyv422") << "nut" << "yuv420p"
        << 176 << 144 << 2 << 2 << 2 << 38016 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("RGB converted")
        << lavfi("testsrc=size=175x99", 2) + raw("rgb24") << "nut" << "yuv420p"
        << 175 << 99 << 2 << 2 << 2 << 29568 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("gray converted")
        << lavfi("testsrc2=size=176x144", 2) + raw("gray") << "nut" << "yuv420p"
        << 176 << 144 << 2 << 2 << 2 << 38016 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("palette converted")
        << lavfi("testsrc2=size=64x48", 2) + QStringList{"-c:v", "gif"} << "gif" << "yuv420p"
        << 64 << 48 << 2 << 2 << 2 << 64 * 48 * 3 / 2 << int(AV_PIX_FMT_YUV420P);
    // x264 keeps B-frames back for reordering and frame threads keep more: all must come out.
    QTest::newRow("H.264 with B-frames, all in display order")
        << lavfi("testsrc2=size=176x144:rate=25", 40)
               + QStringList{"-c:v", "libx264", "-preset", "veryfast", "-bf", "3", "-g", "20",
                             "-pix_fmt", "yuv420p"}
        << "mp4" << "yuv420p" << 176 << 144 << 2 << 2 << 40 << 38016 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("audio interleaved")
        << QStringList{"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25", "-f", "lavfi", "-i",
                       "sine=frequency=440:sample_rate=48000", "-t", "1", "-c:a", "aac"}
               + x264
        << "mkv" << "yuv420p" << 176 << 144 << 2 << 2 << 25 << 38016 << int(AV_PIX_FMT_YUV420P);
}

void TestDecoder::pictures_matchToolOutput()
{
    QFETCH(QStringList, source);
    QFETCH(QString, suffix);
    QFETCH(QString, toolFormat);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, dx);
    QFETCH(int, dy);
    QFETCH(int, pictures);
    QFETCH(int, frameBytes);
    QFETCH(int, pixelFormat);

    TestSupport::IsolatedEnvironment env;
    const QString clip = env.filePath("clip." + suffix);
    QVERIFY(TestSupport::ffmpeg(source + QStringList{clip}));
    const QByteArray expected = TestSupport::padFrames(toolRaw(env, clip, toolFormat), width, height, dx, dy);
    QCOMPARE(expected.size(), qsizetype(frameBytes) * pictures);

    const QString output = env.filePath("out.420");
    const DecodeRun run = decodeToFile(clip, output);
    QCOMPARE(run.openResult, 0);
    QCOMPARE(run.endResult, AVERROR_EOF);
    QCOMPARE(run.pictures, pictures);
    QVERIFY(run.sizesMatch);
    QVERIFY(loggedErrors.isEmpty());

    const FrameInfo &info = run.first;
    QCOMPARE(info.width, width);
    QCOMPARE(info.height, height);
    QCOMPARE(info.pixelFormat, pixelFormat);
    QCOMPARE((info.width + info.lumaPadWidth) % 16, 0);
    QCOMPARE((info.height + info.lumaPadHeight) % 16, 0);
    QVERIFY(info.lumaPadWidth < 16 && info.lumaPadHeight < 16);
    QCOMPARE(info.chromaWidth, width / dx);
    QCOMPARE(info.chromaHeight, height / dy);
    QCOMPARE(info.chromaWidth + info.chromaPadWidth, (width + info.lumaPadWidth) / dx);
    QCOMPARE(info.chromaHeight + info.chromaPadHeight, (height + info.lumaPadHeight) / dy);
    QCOMPARE(frameByteSize(&info), qint64(frameBytes));

    const QByteArray actual = TestSupport::readFile(output);
    QCOMPARE(actual.size(), expected.size());
    for (int picture = 0; picture < pictures; ++picture) {
        const qsizetype at = qsizetype(picture) * frameBytes;
        if (actual.mid(at, frameBytes) != expected.mid(at, frameBytes))
            QFAIL(qPrintable(QString("picture %1 differs").arg(picture)));
    }
}

void TestDecoder::end_isSilentAndRepeats()
{
    TestSupport::IsolatedEnvironment env;
    const QString clip = env.filePath("clip.mp4");
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48", "-frames:v", "3",
                                 "-c:v", "libx264", "-pix_fmt", "yuv420p", clip}));
    VideoDecoder *decoder = decoderCreate();
    QCOMPARE(decoderOpen(decoder, clip.toStdString().c_str()), 0);
    FrameInfo info;
    int pictures = 0;
    while (decoderNextFrame(decoder, &info) >= 0)
        ++pictures;
    QCOMPARE(pictures, 3);

    FrameInfo marked;
    memset(&marked, 0x5a, sizeof marked);
    FrameInfo untouched = marked;
    StderrCapture errors(env.filePath("stderr.txt"));
    QCOMPARE(decoderNextFrame(decoder, &marked), AVERROR_EOF);
    QCOMPARE(decoderNextFrame(decoder, &marked), AVERROR_EOF);
    QCOMPARE(errors.release(), QByteArray());
    QVERIFY(loggedErrors.isEmpty());
    QVERIFY(memcmp(&marked, &untouched, sizeof marked) == 0);
    decoderDestroy(&decoder);
}

void TestDecoder::open_failsWithItsMessage_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("streamFound");

    QTest::newRow("missing path") << "missing" << "Cannot open input file\n" << false;
    QTest::newRow("text file named .mp4") << "text" << "Cannot open input file\n" << false;
    QTest::newRow("MP4 cut before its index") << "cut mp4" << "Cannot open input file\n" << false;
    QTest::newRow("audio only")
        << "audio" << "Cannot find a video stream in the input file\n" << false;
    // The stream is found, so the decoder counts as open although its codec failed.
    QTest::newRow("codec setup damaged") << "bad codec" << "Cannot open video decoder\n" << true;
}

void TestDecoder::open_failsWithItsMessage()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    QFETCH(bool, streamFound);

    TestSupport::IsolatedEnvironment env;
    QString path = env.filePath("input.mp4");
    if (kind == "missing") {
        path = env.filePath("no such file.mp4");
    } else if (kind == "text") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("This is not a video.\nJust some words in a text file.\n");
    } else if (kind == "cut mp4") {
        QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=176x144", "-frames:v",
                                     "10", "-c:v", "libx264", "-pix_fmt", "yuv420p", path}));
        QVERIFY(QFile::resize(path, QFileInfo(path).size() / 2));
    } else if (kind == "audio") {
        path = env.filePath("sound.wav");
        QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "sine=duration=0.5", path}));
    } else if (kind == "bad codec") {
        // FFV1 version 3 keeps its setup, guarded by a checksum, in the codec private data
        // of the Matroska track (element 63A2, a one-byte size, a 40-byte bitmap header,
        // then the setup); one flipped byte there makes the codec refuse to open.
        path = env.filePath("input.mkv");
        QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48", "-frames:v",
                                     "2", "-c:v", "ffv1", "-level", "3", path}));
        QByteArray data = TestSupport::readFile(path);
        const qsizetype privateData = data.indexOf("\x63\xa2");
        QVERIFY(privateData > 0);
        const qsizetype setup = privateData + 3 + 40 + 8;
        data[setup] = char(data[setup] ^ 0xff);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
    }

    VideoDecoder *decoder = decoderCreate();
    QVERIFY(!decoderIsOpen(decoder));
    QVERIFY(decoderOpen(decoder, path.toStdString().c_str()) < 0);
    QCOMPARE(loggedErrors, QStringList{message});
    QCOMPARE(decoderIsOpen(decoder), streamFound);

    // A caller that goes on anyway gets an error, not a picture or a crash.
    StderrCapture errors(env.filePath("stderr.txt"));
    FrameInfo info{};
    QVERIFY(decoderNextFrame(decoder, &info) < 0);
    QVERIFY(errors.release().startsWith("Error occurred: "));
    if (streamFound)
        QCOMPARE(loggedErrors.last(), QString("Error decoding video\n"));

    decoderDestroy(&decoder);
    QVERIFY(!decoder);
}

void TestDecoder::damagedInput_endsCleanly_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QStringList>("encode");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("decodeError");   // ends with a reported decode error, not the end

    const QStringList x264{"-c:v", "libx264", "-preset", "veryfast", "-bf", "2", "-g", "10",
                           "-pix_fmt", "yuv420p"};
    QTest::newRow("truncated Matroska") << "mkv" << x264 << "truncate" << false;
    QTest::newRow("truncated transport stream") << "ts" << x264 << "truncate" << false;
    QTest::newRow("corrupted middle, Matroska") << "mkv" << x264 << "corrupt" << false;
    QTest::newRow("corrupted middle, transport stream") << "ts" << x264 << "corrupt" << false;
    // The last packet holds part of a picture, which the raw codec refuses.
    QTest::newRow("raw picture cut short")
        << "nut" << QStringList{"-c:v", "rawvideo", "-pix_fmt", "yuv420p"} << "truncate" << true;
}

void TestDecoder::damagedInput_endsCleanly()
{
    QFETCH(QString, suffix);
    QFETCH(QStringList, encode);
    QFETCH(QString, damage);
    QFETCH(bool, decodeError);

    const int pictures = 20;
    TestSupport::IsolatedEnvironment env;
    const QString clip = env.filePath("clip." + suffix);
    QVERIFY(TestSupport::ffmpeg(QStringList{"-f", "lavfi", "-i", "testsrc2=size=176x144",
                                            "-frames:v", QString::number(pictures)}
                                + encode + QStringList{clip}));
    QByteArray data = TestSupport::readFile(clip);
    if (damage == "truncate") {
        data.truncate(data.size() * 2 / 3 + 7);
    } else {
        for (qsizetype at = data.size() * 2 / 5; at < data.size() * 3 / 5; at += 97)
            data[at] = char(data[at] ^ 0x5a);
    }
    QFile file(clip);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
    file.close();

    StderrCapture errors(env.filePath("stderr.txt"));
    const DecodeRun run = decodeToFile(clip, env.filePath("out.420"), 4 * pictures);
    const QByteArray errorText = errors.release();
    QCOMPARE(run.openResult, 0);
    QVERIFY(run.endResult < 0);
    if (decodeError) {
        QVERIFY(run.endResult != AVERROR_EOF);
        QVERIFY(loggedErrors.contains("Error decoding video\n"));
        QVERIFY2(errorText.startsWith("Error occurred: "), errorText.constData());
    }
    QVERIFY(run.pictures >= 1);
    QVERIFY(run.pictures <= pictures);
    QVERIFY(run.sizesMatch);
    QCOMPARE(run.first.width, 176);
    QCOMPARE(run.first.height, 144);
}

void TestDecoder::writeFrame_failedWriteFallsShort_data()
{
    QTest::addColumn<QString>("size");
    // A small picture stays in the stream's buffer until the flush, a large one does not.
    QTest::newRow("small picture") << "16x16";
    QTest::newRow("large picture") << "352x288";
}

void TestDecoder::writeFrame_failedWriteFallsShort()
{
    QFETCH(QString, size);
    TestSupport::IsolatedEnvironment env;
    const QString clip = env.filePath("clip.nut");
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=" + size, "-frames:v", "1",
                                 "-c:v", "rawvideo", "-pix_fmt", "yuv420p", clip}));
    VideoDecoder *decoder = decoderCreate();
    QCOMPARE(decoderOpen(decoder, clip.toStdString().c_str()), 0);
    FrameInfo info{};
    QCOMPARE(decoderNextFrame(decoder, &info), 0);

    FILE *full = fopen("/dev/full", "wb");
    QVERIFY(full);
    const int64_t written = writeFrame(&info, full);
    QVERIFY2(written < frameByteSize(&info), qPrintable(QString::number(written)));
    QVERIFY(ferror(full));
    fclose(full);

    FILE *good = fopen(env.filePath("out.420").toStdString().c_str(), "wb");
    QCOMPARE(writeFrame(&info, good), frameByteSize(&info));
    fclose(good);
    decoderDestroy(&decoder);
}

void TestDecoder::lifecycle_isSafeOnEveryState()
{
    decoderDestroy(nullptr);
    VideoDecoder *decoder = nullptr;
    decoderDestroy(&decoder);
    decoderClose(nullptr);
    QVERIFY(!decoderIsOpen(nullptr));

    decoder = decoderCreate();
    QVERIFY(decoder);
    QCOMPARE(decoder->videoStreamIndex, -1);
    QVERIFY(!decoder->inputContext && !decoder->codecContext && !decoder->filterGraph);
    decoderDestroy(&decoder);
    QVERIFY(!decoder);

    TestSupport::IsolatedEnvironment env;
    const QString clip = env.filePath("clip.nut");
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48", "-frames:v", "2",
                                 "-c:v", "ffv1", clip}));
    decoder = decoderCreate();
    QCOMPARE(decoderOpen(decoder, clip.toStdString().c_str()), 0);
    QVERIFY(decoderIsOpen(decoder));
    QVERIFY(decoder->filterGraph && decoder->sourceFilter && decoder->sinkFilter);
    FrameInfo info{};
    QCOMPARE(decoderNextFrame(decoder, &info), 0);
    // Opened once more, it starts from the first picture again (the sanitizer run would
    // show anything the first open left behind).
    QCOMPARE(decoderOpen(decoder, clip.toStdString().c_str()), 0);
    int pictures = 0;
    while (decoderNextFrame(decoder, &info) == 0)
        ++pictures;
    QCOMPARE(pictures, 2);
    decoderClose(decoder);
    QVERIFY(!decoderIsOpen(decoder));
    QVERIFY(!decoder->inputContext && !decoder->codecContext && !decoder->filterGraph);
    decoderClose(decoder);
    decoderDestroy(&decoder);
    QVERIFY(!decoder);
    QVERIFY(loggedErrors.isEmpty());
}

// 11 bits have no pixel format of their own: the pictures are made at 16 bits and rounded down,
// two little-endian bytes a sample in the low bits. Formats no file can hold are refused.
void TestDecoder::outputFormat_depthWithoutAFormatOfItsOwn()
{
    VideoDecoder *decoder = decoderCreate();
    for (const auto &format : {std::pair{7, 420}, {17, 420}, {10, 411}, {10, 0}})
        QCOMPARE(decoderSetOutputFormat(decoder, format.first, format.second), AVERROR(EINVAL));
    decoderDestroy(&decoder);

    TestSupport::IsolatedEnvironment env;
    const QString clip = env.filePath("clip.nut");
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=99x50", "-frames:v", "2", "-c:v", "ffv1",
                                 "-pix_fmt", "yuv422p10le", clip}));
    QByteArray expected = TestSupport::padFrames(toolRaw(env, clip, "yuv422p16le"), 99, 50, 2, 1, 2);
    QCOMPARE(expected.size(), 2 * 112 * 64 * 2 * 2);
    auto *samples = reinterpret_cast<quint16 *>(expected.data());
    for (qsizetype i = 0; i < expected.size() / 2; ++i)
        samples[i] = qToLittleEndian(quint16(qMin(2047, (qFromLittleEndian(samples[i]) + 16) >> 5)));

    const QString output = env.filePath("out.raw");
    const DecodeRun run = decodeToFile(clip, output, 1000, 11, 422);
    QCOMPARE(run.pictures, 2);
    QVERIFY(run.sizesMatch);
    QCOMPARE(run.first.chromaWidth, 49);
    QCOMPARE(frameByteSize(&run.first), qint64(112 * 64 * 2 * 2));
    QVERIFY(TestSupport::readFile(output) == expected);
}

QTEST_GUILESS_MAIN(TestDecoder)
#include "tst_decoder.moc"
