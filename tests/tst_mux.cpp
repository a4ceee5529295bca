// Container outputs as a user gets them: real jobs through morlunex-cli into MP4, Matroska,
// QuickTime and MPEG-TS files, checked with the ffmpeg tools' own readings: pictures and tone
// bursts in sync, audio packets unchanged, every picture at its input time, streams carried,
// converted or left out with their log lines, a full disk that keeps the bitstream, a stop, and
// the picture order against the decoder's (and the reference decoder's hash check); the input's
// picture rate read back from every container, a subtitle event that ends before it starts, and
// tracks without packets and data tracks named in the log as the output has them.

#include "support/testsupport.h"

#include "bitstream/outputorder.h"
#include "hevc/hevccodec.h"
#include "job/transcodejob.h"
#include "join/segmentjoiner.h"
#include "mux/containermuxer.h"
#include "mux/picturetimes.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtEndian>
#include <QtTest>

extern "C" {
#include <libavformat/avformat.h>
}

#include <memory>

using TestSupport::IsolatedEnvironment;
using TestSupport::RunResult;

namespace {

constexpr int kAudioRate = 48000;

TestSupport::RunResult runCli(const QStringList &arguments, const QString &folder)
{
    return TestSupport::run(TestSupport::binDir() + QStringLiteral("/morlunex-cli"), arguments, 120000, folder);
}

QJsonObject probe(const QString &path, const QStringList &what)
{
    const RunResult result = TestSupport::run(QStringLiteral("ffprobe"),
                                              QStringList{"-v", "error"} + what + QStringList{"-of", "json", path});
    return QJsonDocument::fromJson(result.out).object();
}

QJsonArray streams(const QString &path)
{
    return probe(path, {"-show_streams"}).value("streams").toArray();
}

QStringList codecs(const QString &path)
{
    QStringList names;
    for (const QJsonValue &stream : streams(path))
        names << stream.toObject().value("codec_name").toString();
    return names;
}

// The times of a stream's frames, as the ffmpeg tools decode them: a source filter's frames with
// a tag of another filter, whose value decides which times count.
QList<QPair<double, double>> taggedFrames(const QString &graph, const QString &tag)
{
    const RunResult result = TestSupport::run(QStringLiteral("ffprobe"),
                                              {"-v", "error", "-f", "lavfi", "-i", graph, "-show_entries",
                                               "frame=pts_time:frame_tags=" + tag, "-of", "json"});
    QList<QPair<double, double>> frames;
    for (const QJsonValue &frame : QJsonDocument::fromJson(result.out).object().value("frames").toArray()) {
        const QJsonObject object = frame.toObject();
        const QString value = object.value("tags").toObject().value(tag).toString();
        frames << qMakePair(object.value("pts_time").toString().toDouble(),
                            value == QLatin1String("-inf") ? -1000.0 : value.toDouble());
    }
    return frames;
}

// When the white pictures are shown, and when the first picture is.
QList<double> flashes(const QString &path, double *first = nullptr)
{
    QList<double> times;
    const auto frames = taggedFrames("movie=" + path + ",signalstats", "lavfi.signalstats.YAVG");
    for (const auto &frame : frames)
        if (frame.second > 200)
            times << frame.first;
    if (first)
        *first = frames.isEmpty() ? -1 : frames.first().first;
    return times;
}

// When the tone bursts of an audio stream start: the first millisecond louder than -30 dBFS
// after a quiet one.
QList<double> bursts(const QString &path, int streamIndex)
{
    QList<double> onsets;
    bool quiet = true;
    const QString graph = QStringLiteral("amovie=%1:si=%2,aresample=%3,asetnsamples=n=%4,astats=metadata=1:reset=1")
                              .arg(path).arg(streamIndex).arg(kAudioRate).arg(kAudioRate / 1000);
    for (const auto &chunk : taggedFrames(graph, "lavfi.astats.Overall.RMS_level")) {
        if (chunk.second > -30 && quiet)
            onsets << chunk.first;
        quiet = chunk.second <= -30;
    }
    return onsets;
}

// The MD5 of a stream's packets, copied out as they are.
QByteArray packetHash(const QString &path, const QString &stream)
{
    const RunResult result = TestSupport::run(QStringLiteral("ffmpeg"),
                                              {"-v", "error", "-i", path, "-map", "0:" + stream, "-c", "copy",
                                               "-f", "hash", "-hash", "md5", "-"});
    return result.out.trimmed();
}

// The types of an MP4 file's top-level boxes, in order.
QStringList topLevelBoxes(const QString &path)
{
    QFile file(path);
    QStringList types;
    if (!file.open(QIODevice::ReadOnly))
        return types;
    for (qint64 at = 0; at + 8 <= file.size();) {
        file.seek(at);
        const QByteArray head = file.read(16);
        qint64 size = qFromBigEndian<quint32>(head.constData());
        if (size == 1 && head.size() == 16)
            size = qint64(qFromBigEndian<quint64>(head.constData() + 8));
        types << QString::fromLatin1(head.mid(4, 4));
        if (size < 8)
            break;
        at += size;
    }
    return types;
}

// Everything in a folder, hidden files included.
QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

QString errorLines(const RunResult &run)
{
    QStringList lines;
    for (const QString &line : QString::fromUtf8(run.err).split('\n'))
        if (!line.startsWith(QLatin1String("x265 [")) && !line.isEmpty())
            lines << line;
    return lines.join('\n');
}

} // namespace

class MuxTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sync_burstsStayOnTheirFlashes_data();
    void sync_burstsStayOnTheirFlashes();
    void variableRate_everyPictureKeepsItsTime();
    void rawInput_picturesAtTheTypedRate();
    void pictureTimes_surviveTheirRecordAndTheJoin();
    void matroska_carriesEverything();
    void otherContainers_convertOrLeaveOutWithALogLine_data();
    void otherContainers_convertOrLeaveOutWithALogLine();
    void fullDisk_keepsTheBitstreamAndExits74();
    void stop_leavesWhatTheEncoderWrote_data();
    void stop_leavesWhatTheEncoderWrote();
    void pictureOrder_matchesTheDecoders_data();
    void pictureOrder_matchesTheDecoders();
    void changingParameterSets_stayInTheSamples();
    void referenceEncoder_muxedStreamPassesTheHashCheck();
    void frameRate_readsBackAsTheInputsInEveryContainer_data();
    void frameRate_readsBackAsTheInputsInEveryContainer();
    void subtitleEndingBeforeItStarts_costsOnlyThatEvent_data();
    void subtitleEndingBeforeItStarts_costsOnlyThatEvent();
    void emptyAndDataTracks_logSaysWhatTheOutputHolds_data();
    void emptyAndDataTracks_logSaysWhatTheOutputHolds();

private:
    std::unique_ptr<IsolatedEnvironment> env;
    QString work;
};

void MuxTest::initTestCase()
{
    env = std::make_unique<IsolatedEnvironment>();
    work = env->filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkpath(work));
    // The paths go into filter graphs unquoted.
    QVERIFY2(!work.contains(QRegularExpression(QStringLiteral("[:,;'\\[\\]\\\\ ]"))), qPrintable(work));

    // White pictures 12 and 37 at 25 fps, and 80 ms tone bursts starting at the same instants.
    const QString flashes = "testsrc2=size=176x144:rate=25:duration=2,"
                            "drawbox=color=white:thickness=fill:enable='eq(n\\,12)+eq(n\\,37)'";
    const QString tones = QStringLiteral("aevalsrc='sin(2*PI*1000*t)*(between(t\\,0.48\\,0.56)+between(t\\,1.48\\,1.56))'"
                                         ":sample_rate=%1:duration=2").arg(kAudioRate);
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", flashes, "-f", "lavfi", "-i", tones, "-c:v", "libx264",
                                 "-bf", "3", "-pix_fmt", "yuv420p", "-c:a", "aac", "-ac", "2", work + "/sync.mp4"}));

    // The same with a second sound track, German, in PCM, subtitles in French, two chapters and
    // a title, in Matroska.
    QVERIFY(TestSupport::writeFile(work + "/subtitles.srt", "1\n00:00:00,500 --> 00:00:01,200\nBonjour\n\n"
                                                            "2\n00:00:01,400 --> 00:00:01,900\nAu revoir\n"));
    QVERIFY(TestSupport::writeFile(work + "/chapters.txt",
                                   ";FFMETADATA1\ntitle=Holiday\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\n"
                                   "title=Beach\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Hotel\n"));
    QVERIFY(TestSupport::ffmpeg({"-i", work + "/sync.mp4", "-i", work + "/subtitles.srt", "-i", work + "/chapters.txt",
                                 "-map", "0:v", "-map", "0:a", "-map", "0:a", "-map", "1", "-map_metadata", "2",
                                 "-map_chapters", "2", "-c:v", "copy", "-c:a:0", "copy", "-c:a:1", "pcm_s16le",
                                 "-ac:a:1", "1", "-c:s", "srt", "-metadata:s:a:0", "language=eng",
                                 "-metadata:s:a:1", "language=deu", "-metadata:s:a:1", "title=Kommentar",
                                 "-metadata:s:s:0", "language=fra", "-disposition:a:1", "0", work + "/all.mkv"}));

    // As a phone records: pictures at an uneven pace on a 90 kHz clock, AAC sound at 44.1 kHz,
    // turned a quarter for display.
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=30:duration=2,settb=1/90000,"
                                                      "setpts=N*3000+mod(N*N\\,7)*400",
                                 "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=2",
                                 "-c:v", "libx264", "-bf", "2", "-pix_fmt", "yuv420p", "-fps_mode", "passthrough",
                                 "-enc_time_base", "1:90000", "-video_track_timescale", "90000", "-c:a", "aac",
                                 "-ac", "2", work + "/phone-plain.mp4"}));
    QVERIFY(TestSupport::ffmpeg({"-i", work + "/phone-plain.mp4", "-c", "copy", "-metadata:s:v:0", "rotate=90",
                                 work + "/phone.mp4"}));

    // The detectors find the input in sync, so that they can judge the outputs.
    double first = 0;
    const QList<double> shown = ::flashes(work + "/sync.mp4", &first);
    const QList<double> heard = bursts(work + "/sync.mp4", 1);
    QCOMPARE(shown.size(), 2);
    QCOMPARE(heard.size(), 2);
    for (int i = 0; i < 2; ++i)
        QVERIFY2(qAbs(heard.at(i) - shown.at(i)) <= 0.02, qPrintable(QStringLiteral("%1 %2").arg(heard.at(i)).arg(shown.at(i))));
}

void MuxTest::sync_burstsStayOnTheirFlashes_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("range");
    QTest::addColumn<QList<double>>("expectedFlashes");   // after the first picture

    QTest::newRow("whole input into MP4") << "whole.mp4" << QStringList() << QList<double>{0.48, 1.48};
    QTest::newRow("whole input into Matroska") << "whole.mkv" << QStringList() << QList<double>{0.48, 1.48};
    QTest::newRow("pictures 10 to 39 into MP4")
        << "part.mp4" << QStringList{"--start", "10", "--frames", "30"} << QList<double>{0.08, 1.08};
    QTest::newRow("pictures 10 to 39 into Matroska")
        << "part.mkv" << QStringList{"--start", "10", "--frames", "30"} << QList<double>{0.08, 1.08};
}

void MuxTest::sync_burstsStayOnTheirFlashes()
{
    QFETCH(QString, output);
    QFETCH(QStringList, range);
    QFETCH(QList<double>, expectedFlashes);
    const QString folder = work + "/sync-" + output;
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::copy(work + "/sync.mp4", folder + "/holiday.mp4.orig"));

    const RunResult run = runCli(range + QStringList{"-o", output, "holiday.mp4.orig"}, folder);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(errorLines(run)));
    QVERIFY2(run.err.contains("Muxed into " + output.toUtf8() + ": HEVC 176x144 25 fps, audio AAC 48 kHz stereo\n"),
             qPrintable(errorLines(run)));
    // Nothing is left beside the output: neither the encoder's file nor a temporary one.
    QCOMPARE(entries(folder), QStringList({"holiday.mp4.orig", output}));

    const QString path = folder + "/" + output;
    const bool whole = range.isEmpty();
    QCOMPARE(TestSupport::probeVideo(path).frames, whole ? 50 : 30);
    double first = 0;
    const QList<double> shown = flashes(path, &first);
    const QList<double> heard = bursts(path, 1);
    QCOMPARE(shown.size(), 2);
    QCOMPARE(heard.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QVERIFY2(qAbs(shown.at(i) - first - expectedFlashes.at(i)) < 0.001, qPrintable(QString::number(shown.at(i) - first)));
        QVERIFY2(qAbs(heard.at(i) - shown.at(i)) <= 0.02,
                 qPrintable(QStringLiteral("burst at %1 s, flash at %2 s").arg(heard.at(i)).arg(shown.at(i))));
    }

    const QJsonObject audio = streams(path).at(1).toObject();
    if (whole) {
        QCOMPARE(packetHash(path, "a:0"), packetHash(work + "/sync.mp4", "a:0"));
    } else {
        // Cut to the span at whole packets: it starts and ends within one packet (21 ms) of it.
        const double start = audio.value("start_time").toString().toDouble();
        double end = start + audio.value("duration").toString().toDouble();
        if (output.endsWith(".mkv"))
            end = probe(path, {"-show_format"}).value("format").toObject().value("duration").toString().toDouble();
        QVERIFY2(start >= first - 0.001 && start < first + 0.022, qPrintable(QString::number(start)));
        QVERIFY2(qAbs(end - (first + 1.2)) < 0.022, qPrintable(QString::number(end)));
    }
    if (output.endsWith(".mp4")) {
        QCOMPARE(streams(path).at(0).toObject().value("codec_tag_string").toString(), QStringLiteral("hvc1"));
        const QStringList boxes = topLevelBoxes(path);
        QVERIFY2(boxes.contains("moov") && boxes.indexOf("moov") < boxes.indexOf("mdat"), qPrintable(boxes.join(' ')));
    }
}

void MuxTest::variableRate_everyPictureKeepsItsTime()
{
    const QString folder = work + "/phone";
    QVERIFY(QDir().mkpath(folder));
    const RunResult run = runCli({"-o", "phone.mp4", work + "/phone.mp4"}, folder);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(errorLines(run)));
    QVERIFY2(QRegularExpression(QStringLiteral("Muxed into phone.mp4: HEVC 176x144 [0-9.]+ fps \\(variable\\), "
                                               "audio AAC 44.1 kHz stereo\n"))
                 .match(QString::fromUtf8(run.err)).hasMatch(),
             qPrintable(errorLines(run)));

    const auto times = [](const QString &path) {
        QList<double> list;
        for (const QJsonValue &frame : probe(path, {"-select_streams", "v", "-show_entries", "frame=pts_time"})
                                           .value("frames").toArray())
            list << frame.toObject().value("pts_time").toString().toDouble();
        return list;
    };
    const QList<double> input = times(work + "/phone.mp4"), output = times(folder + "/phone.mp4");
    QCOMPARE(output.size(), 60);
    QCOMPARE(output.size(), input.size());
    for (int i = 0; i < input.size(); ++i)
        QVERIFY2(qAbs(output.at(i) - input.at(i)) <= 0.001,
                 qPrintable(QStringLiteral("picture %1 at %2 s, in the input at %3 s").arg(i).arg(output.at(i)).arg(input.at(i))));
    QCOMPARE(packetHash(folder + "/phone.mp4", "a:0"), packetHash(work + "/phone.mp4", "a:0"));
    const QJsonArray sideData = streams(folder + "/phone.mp4").at(0).toObject().value("side_data_list").toArray();
    QVERIFY(!sideData.isEmpty());
    QCOMPARE(sideData.first().toObject().value("rotation").toInt(), 90);
}

void MuxTest::rawInput_picturesAtTheTypedRate()
{
    const QString folder = work + "/raw";
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=30:duration=1", "-pix_fmt",
                                 "yuv420p", "-f", "rawvideo", folder + "/clip_176x144.yuv"}));
    const RunResult run = runCli({"--fps", "30", "-o", "clip.mp4", "clip_176x144.yuv"}, folder);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(errorLines(run)));
    QVERIFY2(run.err.contains("Muxed into clip.mp4: HEVC 176x144 30 fps\n"), qPrintable(errorLines(run)));
    QCOMPARE(codecs(folder + "/clip.mp4"), QStringList({"hevc"}));
    const QJsonArray frames = probe(folder + "/clip.mp4", {"-show_entries", "frame=pts_time"}).value("frames").toArray();
    QCOMPARE(frames.size(), 30);
    for (int i = 0; i < frames.size(); ++i)
        QVERIFY(qAbs(frames.at(i).toObject().value("pts_time").toString().toDouble() - i / 30.0) < 0.001);
}

// A segment keeps its pictures' times in a JSON record; the joined job's times are the records'
// in order. Timestamps of transport streams run past 2^33 and survive the record exactly.
void MuxTest::pictureTimes_surviveTheirRecordAndTheJoin()
{
    PictureTimes first;
    first.timeBaseNum = 1;
    first.timeBaseDen = 90000;
    first.times = {(qint64(1) << 40) + 3, (qint64(1) << 40) + 3006, (qint64(1) << 40) + 6009};
    first.lastDuration = 3003;
    PictureTimes read;
    QVERIFY(PictureTimes::fromJson(QJsonDocument::fromJson(QJsonDocument(first.toJson()).toJson()).object(), &read));
    QCOMPARE(read.times, first.times);
    QCOMPARE(read.end(), first.times.last() + 3003);

    PictureTimes second;
    second.timeBaseNum = 1;
    second.timeBaseDen = 1000;
    second.times = {12216795, 12216829};
    read.append(second);
    QCOMPARE(read.times.size(), 5);
    QCOMPARE(read.times.at(3), qint64(12216795) * 90);
    QCOMPARE(read.end(), qint64(12216829) * 90 + 34 * 90);
    QVERIFY(!PictureTimes::fromJson(QJsonObject{{"time_base", "1/0"}, {"times", QJsonArray()}}, &read));
}

void MuxTest::matroska_carriesEverything()
{
    const QString folder = work + "/everything";
    QVERIFY(QDir().mkpath(folder));
    const RunResult run = runCli({"-o", "out.mkv", work + "/all.mkv"}, folder);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(errorLines(run)));
    QVERIFY2(run.err.contains("Muxed into out.mkv: HEVC 176x144 25 fps, audio AAC 48 kHz stereo (eng), "
                              "PCM 48 kHz mono (deu), 1 subtitle track, 2 chapters\n"),
             qPrintable(errorLines(run)));
    QVERIFY2(!run.err.contains("cannot go into"), qPrintable(errorLines(run)));

    const QString path = folder + "/out.mkv";
    const QJsonObject all = probe(path, {"-show_streams", "-show_chapters", "-show_format"});
    const QJsonArray list = all.value("streams").toArray();
    QCOMPARE(codecs(path), QStringList({"hevc", "aac", "pcm_s16le", "subrip"}));
    const auto tag = [&](int index, const char *name) {
        return list.at(index).toObject().value("tags").toObject().value(QLatin1String(name)).toString();
    };
    QCOMPARE(tag(1, "language"), QStringLiteral("eng"));
    QCOMPARE(tag(2, "language"), QStringLiteral("deu"));
    QCOMPARE(tag(2, "title"), QStringLiteral("Kommentar"));
    QCOMPARE(tag(3, "language"), QStringLiteral("fra"));
    QCOMPARE(list.at(2).toObject().value("disposition").toObject().value("default").toInt(), 0);
    QCOMPARE(all.value("format").toObject().value("tags").toObject().value("title").toString(), QStringLiteral("Holiday"));
    const QJsonArray chapters = all.value("chapters").toArray();
    QCOMPARE(chapters.size(), 2);
    QCOMPARE(chapters.at(1).toObject().value("tags").toObject().value("title").toString(), QStringLiteral("Hotel"));
    QCOMPARE(chapters.at(1).toObject().value("start_time").toString().toDouble(), 1.0);
    for (const char *stream : {"a:0", "a:1", "s:0"})
        QCOMPARE(packetHash(path, QLatin1String(stream)), packetHash(work + "/all.mkv", QLatin1String(stream)));
}

void MuxTest::otherContainers_convertOrLeaveOutWithALogLine_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("expectedCodecs");
    QTest::addColumn<QStringList>("expectedLines");

    QTest::newRow("MP4") << "out.mp4" << QStringList{"hevc", "aac", "aac", "mov_text", "bin_data"}
                         << QStringList{"Audio stream 2 (PCM, deu) cannot go into MP4: converted to AAC.",
                                        "Subtitle stream 3 (SubRip, fra) cannot go into MP4: converted to timed text.",
                                        "Muxed into out.mp4: HEVC 176x144 25 fps, audio AAC 48 kHz stereo (eng), "
                                        "AAC 48 kHz mono (deu), 1 subtitle track, 2 chapters"};
    QTest::newRow("QuickTime") << "out.mov" << QStringList{"hevc", "aac", "pcm_s16le", "mov_text", "bin_data"}
                               << QStringList{"Subtitle stream 3 (SubRip, fra) cannot go into QuickTime: converted to timed text.",
                                              "Muxed into out.mov: HEVC 176x144 25 fps, audio AAC 48 kHz stereo (eng), "
                                              "PCM 48 kHz mono (deu), 1 subtitle track, 2 chapters"};
    QTest::newRow("MPEG-TS") << "out.ts" << QStringList{"hevc", "aac", "aac"}
                             << QStringList{"Audio stream 2 (PCM, deu) cannot go into MPEG-TS: converted to AAC.",
                                            "Subtitle stream 3 (SubRip, fra) cannot go into MPEG-TS: left out.",
                                            "The input's 2 chapters cannot go into MPEG-TS: left out.",
                                            "Muxed into out.ts: HEVC 176x144 25 fps, audio AAC 48 kHz stereo (eng), "
                                            "AAC 48 kHz mono (deu)"};
}

void MuxTest::otherContainers_convertOrLeaveOutWithALogLine()
{
    QFETCH(QString, output);
    QFETCH(QStringList, expectedCodecs);
    QFETCH(QStringList, expectedLines);
    const QString folder = work + "/other-" + output;
    QVERIFY(QDir().mkpath(folder));
    const RunResult run = runCli({"-o", output, work + "/all.mkv"}, folder);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(errorLines(run)));
    for (const QString &line : expectedLines)
        QVERIFY2(run.err.contains(line.toUtf8() + '\n'), qPrintable(line + "\n---\n" + errorLines(run)));
    const QString path = folder + "/" + output;
    QCOMPARE(codecs(path), expectedCodecs);

    // The second sound track, whether copied or converted, stays on the pictures.
    const QList<double> shown = flashes(path), heard = bursts(path, 2);
    QCOMPARE(shown.size(), 2);
    QCOMPARE(heard.size(), 2);
    for (int i = 0; i < 2; ++i)
        QVERIFY2(qAbs(heard.at(i) - shown.at(i)) <= 0.02,
                 qPrintable(QStringLiteral("burst at %1 s, flash at %2 s").arg(heard.at(i)).arg(shown.at(i))));
}

void MuxTest::fullDisk_keepsTheBitstreamAndExits74()
{
    const QString folder = work + "/full";
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(TestSupport::writeFile(folder + "/out.mkv", "an older file of that name"));
    // The name the bitstream would be kept under is taken: the next free one is used.
    QVERIFY(TestSupport::writeFile(folder + "/out.mkv.265", "the user's own file"));

    // The PCM track alone is larger than the limit; the encoder's bitstream is far smaller.
    QProcess cli;
    cli.setWorkingDirectory(folder);
    {
        const TestSupport::FileSizeLimit limit(150 * 1024);
        cli.start(TestSupport::binDir() + "/morlunex-cli", {"-o", "out.mkv", work + "/all.mkv", "--progress", "none"});
        QVERIFY(cli.waitForStarted(10000));
    }
    QVERIFY(cli.waitForFinished(120000));
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli.exitCode() == 74, qPrintable(err));
    const QString kept = folder + "/out.mkv.1.265";
    // Said once, in the failure's line.
    QVERIFY2(err.count(QStringLiteral("kept as")) == 1, qPrintable(err));
    QVERIFY2(err.contains(QStringLiteral("morlunex-cli: Cannot write %1/out.mkv: File too large. The encoded "
                                         "bitstream is kept as %2.\n").arg(folder, kept)),
             qPrintable(err));

    QCOMPARE(TestSupport::readFile(folder + "/out.mkv"), QByteArray("an older file of that name"));
    QCOMPARE(TestSupport::readFile(folder + "/out.mkv.265"), QByteArray("the user's own file"));
    const TestSupport::ProbeResult bitstream = TestSupport::probeVideo(kept);
    QCOMPARE(bitstream.codec, QStringLiteral("hevc"));
    QCOMPARE(bitstream.frames, 50);
    QCOMPARE(entries(folder), QStringList({"out.mkv", "out.mkv.1.265", "out.mkv.265"}));
}

void MuxTest::stop_leavesWhatTheEncoderWrote_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("kept");
    // The bitstream route stays as it was: the encoder writes the output itself.
    QTest::newRow("bitstream") << "result.265" << "result.265";
    QTest::newRow("container") << "result.mp4" << "result.mp4.265";
    // A file of the kept bitstream's name is never replaced: the next free name is taken.
    QTest::newRow("container, name taken") << "result.mp4" << "result.mp4.1.265";
}

void MuxTest::stop_leavesWhatTheEncoderWrote()
{
    QFETCH(QString, output);
    QFETCH(QString, kept);
    const QString folder = work + "/stop-" + QTest::currentDataTag();
    const QString encoder = work + "/stop-encoder.sh";
    // Writes part of a bitstream, records where (whole, by a rename), and waits to be ended.
    QVERIFY(TestSupport::writeScript(encoder, "#!/bin/sh\nprev=''\nfor a in \"$@\"; do [ \"$prev\" = -b ] && out=$a; prev=$a; done\n"
                                              "printf 'part of a bitstream' > \"$out\"\n"
                                              "printf '%s' \"$out\" > \"$(dirname \"$0\")/stop-target.tmp\"\n"
                                              "mv \"$(dirname \"$0\")/stop-target.tmp\" \"$(dirname \"$0\")/stop-target.txt\"\n"
                                              "while :; do sleep 0.05; done\n"));
    QVERIFY(QDir().mkpath(folder));
    QFile::remove(work + "/stop-target.txt");
    const bool nameTaken = kept.endsWith(".1.265");
    if (nameTaken)
        QVERIFY(TestSupport::writeFile(folder + "/result.mp4.265", "the user's own file"));

    JobSettings settings;
    settings.input = work + "/sync.mp4";
    settings.config = work + "/chapters.txt";
    settings.encoder = encoder;
    settings.output = folder + "/" + output;
    TranscodeJob job;
    QString commandLine;
    QStringList messages;
    JobResult result;
    bool ended = false;
    connect(&job, &TranscodeJob::commandLineReady, this, [&](const QString &line) { commandLine = line; });
    connect(&job, &TranscodeJob::message, this, [&](const QString &line) { messages << line; });
    connect(&job, &TranscodeJob::finished, this, [&](const JobResult &end) { result = end; ended = true; });
    job.start(settings);
    QVERIFY(QTest::qWaitFor([&] { return QFile::exists(work + "/stop-target.txt"); }, 20000));

    const QString target = QString::fromUtf8(TestSupport::readFile(work + "/stop-target.txt"));
    QVERIFY2(commandLine.contains("-b \"" + target + "\""), qPrintable(commandLine));
    if (output == kept)
        QCOMPARE(target, settings.output);
    else
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(
                                        QRegularExpression::escape(folder + "/.result.mp4.") + "[0-9a-z]{6}\\.265"))
                     .match(target).hasMatch(),
                 qPrintable(target));

    job.stop();
    QVERIFY(QTest::qWaitFor([&] { return ended; }, 20000));
    QCOMPARE(result.outcome, JobResult::Stopped);
    QCOMPARE(entries(folder), nameTaken ? QStringList({kept, "result.mp4.265"}) : QStringList({kept}));
    QCOMPARE(TestSupport::readFile(folder + "/" + kept), QByteArray("part of a bitstream"));
    if (nameTaken)
        QCOMPARE(TestSupport::readFile(folder + "/result.mp4.265"), QByteArray("the user's own file"));
    if (output != kept)
        QVERIFY2(messages.contains(QStringLiteral("The encoded bitstream is kept as %1/%2.").arg(folder, kept)),
                 qPrintable(messages.join('\n')));
}

void MuxTest::pictureOrder_matchesTheDecoders_data()
{
    QTest::addColumn<QString>("stream");

    // Open GOPs: CRA pictures every 8, with B pictures before them in output order.
    const QString open = work + "/open-gop.hevc";
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25:duration=1.6", "-c:v", "libx265",
                                 "-x265-params", "keyint=8:min-keyint=8:open-gop=1:bframes=3:scenecut=0:"
                                                 "repeat-headers=1:log-level=error",
                                 "-f", "hevc", open}));
    // The same from a later CRA picture: the leading pictures that refer to pictures before it
    // are not output.
    QList<qint64> keyframes;
    for (const QJsonValue &packet : probe(open, {"-show_entries", "packet=pos,flags"}).value("packets").toArray())
        if (packet.toObject().value("flags").toString().startsWith('K'))
            keyframes << packet.toObject().value("pos").toString().toLongLong();
    QVERIFY(keyframes.size() >= 4);
    const QString tail = work + "/from-cra.hevc";
    QVERIFY(TestSupport::writeFile(tail, TestSupport::readFile(open).mid(keyframes.at(2))));
    // Joined, that CRA picture becomes a BLA picture, which starts a sequence of its own.
    const QString joined = work + "/joined.hevc";
    QVERIFY2(SegmentJoiner::join(joined, {open, tail}).ok, "join");

    QTest::newRow("open GOPs") << open;
    QTest::newRow("opening with a CRA picture") << tail;
    QTest::newRow("joined, a BLA picture inside") << joined;
}

void MuxTest::pictureOrder_matchesTheDecoders()
{
    QFETCH(QString, stream);

    // The decoder's own order: the packets in decoding order, the frames in output order, both by
    // their place in the file.
    QList<qint64> packets, frames;
    for (const QJsonValue &packet : probe(stream, {"-show_entries", "packet=pos"}).value("packets").toArray())
        packets << packet.toObject().value("pos").toString().toLongLong();
    for (const QJsonValue &frame : probe(stream, {"-show_entries", "frame=pkt_pos"}).value("frames").toArray())
        frames << frame.toObject().value("pkt_pos").toString().toLongLong();
    QVERIFY(!packets.isEmpty());

    AVFormatContext *context = nullptr;
    QCOMPARE(avformat_open_input(&context, QFile::encodeName(stream).constData(), av_find_input_format("hevc"), nullptr), 0);
    AVPacket *packet = av_packet_alloc();
    const std::unique_ptr<OutputOrder> ordered = HevcCodec::instance().outputOrder();
    OutputOrder &order = *ordered;
    while (av_read_frame(context, packet) >= 0) {
        QVERIFY2(order.addAccessUnit(reinterpret_cast<const char *>(packet->data), packet->size), qPrintable(order.problem));
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&context);
    QVERIFY2(order.finish(), qPrintable(order.problem));

    QCOMPARE(order.units(), packets.size());
    QCOMPARE(order.shown(), frames.size());
    for (int unit = 0; unit < packets.size(); ++unit) {
        const int place = int(frames.indexOf(packets.at(unit)));
        QCOMPARE(order.kind(unit), place < 0 ? OutputOrder::Skipped : OutputOrder::Shown);
        QCOMPARE(order.outputPlace(unit), place);
    }
    if (stream.endsWith("from-cra.hevc") || stream.endsWith("joined.hevc"))
        QVERIFY(order.shown() < order.units());
}

// Joined segments whose parameter sets differ (here the aspect ratio) cannot have them all in
// the sample description: they stay in the samples, tagged 'hev1', and every picture decodes.
void MuxTest::changingParameterSets_stayInTheSamples()
{
    const QString folder = work + "/hev1";
    QVERIFY(QDir().mkpath(folder));
    for (const QString &part : {QStringLiteral("0"), QStringLiteral("1")})
        QVERIFY(TestSupport::ffmpeg({"-ss", part, "-i", work + "/sync.mp4", "-frames:v", "25", "-c:v", "libx265",
                                     "-x265-params", "log-level=error:sar=" + QString::number(part.toInt() + 1),
                                     "-f", "hevc", folder + "/part" + part + ".hevc"}));
    QVERIFY(SegmentJoiner::join(folder + "/joined.hevc", {folder + "/part0.hevc", folder + "/part1.hevc"}).ok);

    MuxRequest request;
    request.bitstream = folder + "/joined.hevc";
    request.pictures.timeBaseNum = 1;
    request.pictures.timeBaseDen = 25;
    request.output = folder + "/joined.mp4";
    const MuxResult result = ContainerMuxer::mux(request);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.summary, QStringLiteral("Muxed into joined.mp4: HEVC 176x144 25 fps"));
    QCOMPARE(streams(request.output).at(0).toObject().value("codec_tag_string").toString(), QStringLiteral("hev1"));
    const RunResult decoded = TestSupport::run(QStringLiteral("ffmpeg"), {"-v", "error", "-i", request.output, "-f", "null", "-"});
    QVERIFY2(decoded.finished && decoded.exitCode == 0 && decoded.err.isEmpty(), decoded.err.constData());
    QCOMPARE(TestSupport::probeVideo(request.output).frames, 50);
    QCOMPARE(entries(folder), QStringList({"joined.hevc", "joined.mp4", "part0.hevc", "part1.hevc"}));
}

void MuxTest::referenceEncoder_muxedStreamPassesTheHashCheck()
{
    const QString encoder = TestSupport::referenceTool(QStringLiteral("TAppEncoder"));
    if (encoder.isEmpty() || TestSupport::referenceTool(QStringLiteral("TAppDecoder")).isEmpty())
        QSKIP("the HEVC reference encoder and decoder are not there (../shared/testdata/reference-encoder/bin)");
    const QString folder = work + "/reference";
    QVERIFY(QDir().mkpath(folder));
    // Nine pictures: a hierarchy of B pictures eight deep. The encoder writes each picture's hash.
    QVERIFY(TestSupport::ffmpeg({"-i", work + "/sync.mp4", "-frames:v", "9", "-c:v", "libx264", "-c:a", "copy",
                                 folder + "/nine.mp4"}));
    QVERIFY(TestSupport::writeFile(folder + "/hash.cfg", TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg")
                                                             + "\nSEIDecodedPictureHash : 1\n"));
    const RunResult run = runCli({"-e", encoder, "-c", "hash.cfg", "-o", "nine-out.mp4", "nine.mp4"}, folder);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(errorLines(run)));

    QVERIFY(TestSupport::ffmpeg({"-i", folder + "/nine-out.mp4", "-map", "0:v", "-c", "copy", "-bsf:v",
                                 "hevc_mp4toannexb", "-f", "hevc", folder + "/extracted.265"}));
    const TestSupport::HashCheck check = TestSupport::referenceHashCheck(folder + "/extracted.265");
    QVERIFY2(check.pictures == 9 && check.matched == 9 && check.mismatched == 0, qPrintable(check.tail));
    const QJsonArray frames = probe(folder + "/nine-out.mp4", {"-select_streams", "v", "-show_entries", "frame=pts_time"})
                                  .value("frames").toArray();
    QCOMPARE(frames.size(), 9);
    for (int i = 0; i < frames.size(); ++i)
        QVERIFY(qAbs(frames.at(i).toObject().value("pts_time").toString().toDouble() - i * 0.04) < 1e-6);
}

void MuxTest::frameRate_readsBackAsTheInputsInEveryContainer_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("options");

    // 24000/1001 in Matroska: timestamps in milliseconds (41 or 42 apart), the rate in the track's
    // default duration. 37 pictures, so that their span is no round number of milliseconds.
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=24000/1001", "-f", "lavfi", "-i",
                                 "sine=sample_rate=48000:duration=2", "-frames:v", "37", "-c:v", "libx264",
                                 "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", work + "/ntsc-film.mkv"}));
    const QJsonObject input = streams(work + "/ntsc-film.mkv").at(0).toObject();
    QCOMPARE(input.value("r_frame_rate").toString(), QStringLiteral("24000/1001"));
    QCOMPARE(input.value("time_base").toString(), QStringLiteral("1/1000"));

    for (const QString &output : {QStringLiteral("film.mkv"), QStringLiteral("film.mp4"), QStringLiteral("film.mov"),
                                  QStringLiteral("film.ts")}) {
        QTest::addRow("%s, one piece", qPrintable(output)) << output << QStringList();
        QTest::addRow("%s, segments", qPrintable(output)) << output << QStringList{"-j", "2", "--segment-length", "16"};
    }
}

void MuxTest::frameRate_readsBackAsTheInputsInEveryContainer()
{
    QFETCH(QString, output);
    QFETCH(QStringList, options);
    const QString folder = work + "/rate-" + QString::fromLatin1(QTest::currentDataTag()).replace(", ", "-");
    QVERIFY(QDir().mkpath(folder));
    const RunResult run = runCli(options + QStringList{"-o", output, work + "/ntsc-film.mkv"}, folder);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(errorLines(run)));
    QVERIFY2(run.err.contains("Muxed into " + output.toUtf8() + ": HEVC 64x64 23.98 fps, audio AAC 48 kHz mono\n"),
             qPrintable(errorLines(run)));

    const QString path = folder + "/" + output;
    QCOMPARE(TestSupport::probeVideo(path).frames, 37);
    const QJsonObject video = probe(path, {"-select_streams", "v:0", "-show_streams"}).value("streams").toArray().at(0).toObject();
    QCOMPARE(video.value("r_frame_rate").toString(), QStringLiteral("24000/1001"));
    // Matroska states the rate (the default duration) and MPEG-TS timestamps read as it; in MP4
    // and QuickTime the average is the pictures' count over the sum of their durations, each
    // rounded to the input's milliseconds (as in a copy by the ffmpeg tool).
    if (output.endsWith(".mkv") || output.endsWith(".ts"))
        QCOMPARE(video.value("avg_frame_rate").toString(), QStringLiteral("24000/1001"));
}

void MuxTest::subtitleEndingBeforeItStarts_costsOnlyThatEvent_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("subtitles");   // the output's subtitle codec
    QTest::addColumn<QStringList>("expectedLines");

    // The ffmpeg tool turns the second event, which ends before it starts, into one that lasts
    // 2^32 - 200 ms (about 49.7 days).
    QVERIFY(TestSupport::writeFile(work + "/backwards.srt", "1\n00:00:00,200 --> 00:00:00,600\nHello\n\n"
                                                            "2\n00:00:01,000 --> 00:00:00,800\nBackwards\n"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25:duration=1.5", "-i",
                                 work + "/backwards.srt", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:s", "srt",
                                 work + "/backwards.mkv"}));
    const QJsonArray events = probe(work + "/backwards.mkv", {"-select_streams", "s", "-show_entries",
                                                              "packet=pts_time,duration_time"}).value("packets").toArray();
    QCOMPARE(events.size(), 2);
    QCOMPARE(events.at(1).toObject().value("duration_time").toString(), QStringLiteral("4294967.096000"));

    const QString event = QStringLiteral("Subtitle stream 1 (SubRip): the event at 0:00:01.000 ends before it starts "
                                         "(at 0:00:00.800): %1.");
    QTest::newRow("MP4") << "out.mp4" << "mov_text"
                         << QStringList{"Subtitle stream 1 (SubRip) cannot go into MP4: converted to timed text.",
                                        event.arg("written with a duration of zero"),
                                        "Muxed into out.mp4: HEVC 64x64 25 fps, 1 subtitle track"};
    QTest::newRow("QuickTime") << "out.mov" << "mov_text"
                               << QStringList{"Subtitle stream 1 (SubRip) cannot go into QuickTime: converted to timed text.",
                                              event.arg("written with a duration of zero"),
                                              "Muxed into out.mov: HEVC 64x64 25 fps, 1 subtitle track"};
    // Matroska has no event that shows for no time: its muxer writes no duration of zero, and
    // players show such an event until the next.
    QTest::newRow("Matroska") << "out.mkv" << "subrip"
                              << QStringList{event.arg("left out, as Matroska has no event that shows for no time"),
                                             "Muxed into out.mkv: HEVC 64x64 25 fps, 1 subtitle track"};
}

void MuxTest::subtitleEndingBeforeItStarts_costsOnlyThatEvent()
{
    QFETCH(QString, output);
    QFETCH(QString, subtitles);
    QFETCH(QStringList, expectedLines);
    const QString folder = work + "/backwards-" + QTest::currentDataTag();
    QVERIFY(QDir().mkpath(folder));
    const RunResult run = runCli({"-o", output, work + "/backwards.mkv"}, folder);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(errorLines(run)));
    for (const QString &line : expectedLines)
        QVERIFY2(run.err.contains(line.toUtf8() + '\n'), qPrintable(line + "\n---\n" + errorLines(run)));

    const QString path = folder + "/" + output;
    QCOMPARE(codecs(path), QStringList({"hevc", subtitles}));
    // The good event is there as it was, and nothing lasts for weeks.
    const QJsonObject read = probe(path, {"-show_format", "-select_streams", "s", "-show_entries",
                                          "packet=pts_time,duration_time"});
    bool hello = false;
    for (const QJsonValue &packet : read.value("packets").toArray()) {
        const double start = packet.toObject().value("pts_time").toString().toDouble();
        const double duration = packet.toObject().value("duration_time").toString().toDouble();
        hello |= qAbs(start - 0.2) < 0.001 && qAbs(duration - 0.4) < 0.001;
        QVERIFY2(start + duration < 2, qPrintable(QStringLiteral("an event from %1 s for %2 s").arg(start).arg(duration)));
    }
    QVERIFY(hello);
    QVERIFY(read.value("format").toObject().value("duration").toString().toDouble() < 2);
}

void MuxTest::emptyAndDataTracks_logSaysWhatTheOutputHolds_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("expectedCodecs");
    QTest::addColumn<QStringList>("expectedLines");

    // Matroska: an AAC track that holds no packets, then DTS sound, whose packets do not say how
    // many samples they hold.
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25:duration=1", "-f", "lavfi", "-i",
                                 "sine=sample_rate=48000:duration=1", "-map", "0", "-map", "1", "-c:v", "libx264",
                                 "-pix_fmt", "yuv420p", "-c:a", "aac", "-frames:a", "0", work + "/silent-track.mkv"}));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "sine=sample_rate=48000:duration=1", "-c:a", "dca", "-strict", "-2",
                                 "-ac", "2", work + "/dts.mkv"}));
    QVERIFY(TestSupport::ffmpeg({"-i", work + "/silent-track.mkv", "-i", work + "/dts.mkv", "-map", "0", "-map", "1",
                                 "-c", "copy", work + "/empty-audio.mkv"}));
    QCOMPARE(codecs(work + "/empty-audio.mkv"), QStringList({"h264", "aac", "dts"}));
    QVERIFY(probe(work + "/empty-audio.mkv", {"-select_streams", "a:0", "-show_packets"}).value("packets").toArray().isEmpty());
    // QuickTime: a timecode track (a data stream, tagged 'tmcd', of no codec FFmpeg names).
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25:duration=1", "-c:v", "libx264",
                                 "-pix_fmt", "yuv420p", "-timecode", "01:00:00:00", work + "/timecode.mov"}));
    QCOMPARE(streams(work + "/timecode.mov").at(1).toObject().value("codec_tag_string").toString(), QStringLiteral("tmcd"));

    const struct { const char *suffix, *name; } containers[] = {
        {"mp4", "MP4"}, {"mov", "QuickTime"}, {"mkv", "Matroska"}, {"ts", "MPEG-TS"}};
    for (const auto &container : containers) {
        const QString output = QStringLiteral("out.%1").arg(QLatin1String(container.suffix));
        QTest::addRow("%s, an audio track without packets", container.name)
            << "empty-audio.mkv" << output << QStringList{"hevc", "dts"}
            << QStringList{"Audio stream 1 (AAC): the input holds no packets of it: left out.",
                           "Muxed into " + output + ": HEVC 64x64 25 fps, audio DTS 48 kHz stereo"};
        QTest::addRow("%s, a timecode track", container.name)
            << "timecode.mov" << output << QStringList{"hevc"}
            << QStringList{"Data stream 1 (timecode 01:00:00:00, eng): left out (data streams are never carried).",
                           "Muxed into " + output + ": HEVC 64x64 25 fps"};
    }
}

void MuxTest::emptyAndDataTracks_logSaysWhatTheOutputHolds()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QStringList, expectedCodecs);
    QFETCH(QStringList, expectedLines);
    const QString folder = work + "/tracks-" + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-').remove(',');
    QVERIFY(QDir().mkpath(folder));
    const RunResult run = runCli({"-o", output, work + "/" + input}, folder);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(errorLines(run)));
    for (const QString &line : expectedLines)
        QVERIFY2(run.err.contains(line.toUtf8() + '\n'), qPrintable(line + "\n---\n" + errorLines(run)));
    // The libraries' complaint that DTS packets do not say their size changes nothing the log
    // should tell; no stream goes by the name FFmpeg gives a codec it does not know.
    QVERIFY2(!run.err.contains("frame size"), qPrintable(errorLines(run)));
    QVERIFY2(!run.err.contains("(none"), qPrintable(errorLines(run)));

    // What the log says was written is what is in the file: no empty track, no timecode track.
    const QString path = folder + "/" + output;
    QCOMPARE(codecs(path), expectedCodecs);
    for (const QJsonValue &stream : streams(path)) {
        const QJsonObject object = stream.toObject();
        QVERIFY(object.value("codec_tag_string").toString() != QLatin1String("tmcd"));
        const QString index = QString::number(object.value("index").toInt());
        QVERIFY2(!probe(path, {"-select_streams", index, "-show_packets"}).value("packets").toArray().isEmpty(),
                 qPrintable("stream " + index + " is empty"));
    }
}

QTEST_GUILESS_MAIN(MuxTest)
#include "tst_mux.moc"
