// A job cut into segments, as users run it: several encoders at once through the command-line
// program and the window, stops and crashes resumed into the very bytes of an uninterrupted
// run, two processes sharing one job, a failing segment encoder, and the reference encoder's
// own decoder checking every picture of a joined stream.

#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "support/testwindow.h"

#include "job/transcodejob.h"
#include "jobtypes/jobverdict.h"
#include "parts/claimkeeper.h"
#include "parts/partclaim.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSpinBox>
#include <QSysInfo>
#include <QElapsedTimer>
#include <QtTest>

#include <csignal>
#include <functional>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

using TestSupport::IsolatedEnvironment;
using TestSupport::everythingIn;

namespace {

constexpr int width = 160, height = 96, pictures = 160, segmentLength = 16;
constexpr int segmentCount = pictures / segmentLength;

QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

// The bundled encoder behind a wrapper that records which segment each run encodes (the
// -b argument names it) and takes its time, so that a job can be stopped half way.
bool writeWrapper(const QString &path, const QByteArray &extra = QByteArray())
{
    return TestSupport::writeScript(path, "#!/bin/sh\n"
                                          "dir=$(dirname \"$0\")\n"
                                          "for a in \"$@\"; do case $a in *part_*) echo \"$a\" >> \"$dir/runs.txt\";; esac; done\n"
                                          + extra
                                          + "sleep 0.4\n"
                                            "exec \"" + QFile::encodeName(TestSupport::binDir()) + "/morlunex-hevc-encoder\" \"$@\" "
                                            "--MlxPreset=ultrafast\n");
}

// The first pictures of the segments each run encoded, in the order they started.
QList<int> encodedSegments(const QString &folder)
{
    QList<int> firsts;
    static const QRegularExpression part(QStringLiteral("part_([0-9]{7})\\.265"));
    for (const QByteArray &line : TestSupport::readFile(folder + "/runs.txt").split('\n'))
        if (const QRegularExpressionMatch match = part.match(QString::fromUtf8(line)); match.hasMatch())
            firsts << match.captured(1).toInt();
    return firsts;
}

QStringList jobArguments(const QString &folder, const QString &output = QStringLiteral("out.265"))
{
    return {"clip.mp4", "-o", output, "-e", folder + "/wrapper.sh", "-c", folder + "/job.cfg", "-j", "2",
            "--segment-length", QString::number(segmentLength), "--progress", "none"};
}

// As several processes share a job: one encoder each.
QStringList oneEncoderArguments(const QString &folder)
{
    QStringList arguments = jobArguments(folder);
    arguments.replace(arguments.indexOf("2"), "1");
    return arguments;
}

// Claims refreshed every second and given up once unrefreshed for 3 s.
QProcessEnvironment shortClaimTimeout()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MORLUNEX_CLAIM_TIMEOUT", "3");
    return environment;
}

int keptSegments(const QString &parts)
{
    return QDir(parts).entryList({"part_*.json"}, QDir::Files).size();
}

// Whether this machine lets a process run under a host name of its own.
bool secondHostPossible()
{
    return TestSupport::run("unshare", {"--uts", "true"}).exitCode == 0;
}

// Starts morlunex-cli as a process of another host, "elsewhere".
void startElsewhere(QProcess &process, const QString &folder, const QStringList &arguments)
{
    process.setWorkingDirectory(folder);
    process.start("unshare", QStringList{"--uts", "sh", "-c", "hostname elsewhere && exec \"$0\" \"$@\"", cliProgram()}
                                 + arguments);
}

// The job that oneEncoderArguments() describe, run in this process to its end: its messages and
// its result are kept; the test connects to the job whatever else it needs first.
struct JobHere
{
    TranscodeJob job;
    JobResult result;
    bool ended = false;
    QStringList messages;

    JobHere()
    {
        QObject::connect(&job, &TranscodeJob::message, [this](const QString &line) { messages << line; });
        QObject::connect(&job, &TranscodeJob::finished, [this](const JobResult &end) {
            result = end;
            ended = true;
        });
    }

    // afterStart runs once the job has looked at its output and parts folder, before it probes.
    bool run(const QString &folder, const std::function<void()> &afterStart = {})
    {
        JobSettings settings;
        settings.input = folder + "/clip.mp4";
        settings.encoder = folder + "/wrapper.sh";
        settings.config = folder + "/job.cfg";
        settings.output = folder + "/out.265";
        settings.inSegments = true;
        settings.segmentLength = segmentLength;
        job.start(settings);
        if (afterStart)
            afterStart();
        return QTest::qWaitFor([this] { return ended; }, 60000);
    }
};

} // namespace

class SegmentsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void twoEncoders_fromTheCommandLine_matchTheInput();
    void twoEncoders_fromTheWindow_matchTheInput();
    void twoEncoders_intoAContainer_keepTimesAndSound();
    void interrupted_resumesToTheSameBytes_data();
    void interrupted_resumesToTheSameBytes();
    void threeProcesses_shareOneJob();
    void claimOfAnotherHost_isTakenOverAfterItsTimeout();
    void waitingProcess_takesOverFromAHolderThatDies();
    void blockedHolder_isTakenOverAndEndsWhenAsked_data();
    void blockedHolder_isTakenOverAndEndsWhenAsked();
    void twoHosts_defaultPlan_eachEncodesAQuarter();
    void twoProcessesStartedTogether_bothEndWithZero();
    void failingSegmentEncoder_stopsTheJob();
    void damagedSegment_isNotKept();
    void referenceEncoder_hashesOfJoinedSegments();
    void tamperedPlan_joinsEveryPictureOnce_data();
    void tamperedPlan_joinsEveryPictureOnce();
    void linkAtAPartsName_isRefusedBeforeAnyEncoder();
    void stoppedProcess_countsOthersFinishedSegments();
    void stoppedAsTheOutputStarts_endsAndResumesToTheSameBytes();
    void outputMadeElsewhereMeanwhile_leavesNothingBehind();
    void startedAsAnotherMadeTheOutput_encodesNothingAgain();
    void claimStagedByAnEndedProcess_isRemovedByTheFirstTakeInItsFolder();
    void heldUpHolder_keepsItsClaimWithAOneSecondTimeout();

private:
    // A folder with the clip, the wrapper and the configuration, for one test.
    QString prepare(IsolatedEnvironment &env, const QByteArray &wrapperExtra = QByteArray());
    // A folder whose job failed at its last segment: the other nine are kept in out.265.parts.
    QString prepareKept(IsolatedEnvironment &env, const QByteArray &wrapperExtra = QByteArray());

    IsolatedEnvironment shared{QStringLiteral("shared tmp")};
    QByteArray uninterrupted;   // the output of the job run in one go
};

QString SegmentsTest::prepare(IsolatedEnvironment &env, const QByteArray &wrapperExtra)
{
    const QString folder = env.path();
    if (!QFile::copy(shared.filePath("clip.mp4"), folder + "/clip.mp4")
        || !QFile::copy(TestSupport::binDir() + "/hevczent.cfg", folder + "/job.cfg")
        || !writeWrapper(folder + "/wrapper.sh", wrapperExtra))
        return QString();
    return folder;
}

QString SegmentsTest::prepareKept(IsolatedEnvironment &env, const QByteArray &wrapperExtra)
{
    const QString folder = prepare(env, "case \"$*\" in *part_0000144*) [ -f \"$dir/fail-last\" ] && exit 9;; esac\n"
                                            + wrapperExtra);
    if (folder.isEmpty() || !TestSupport::writeFile(folder + "/fail-last", ""))
        return QString();
    QStringList arguments = jobArguments(folder);
    arguments.replace(arguments.indexOf("2"), "1");
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), arguments, 120000, folder);
    QFile::remove(folder + "/fail-last");
    QFile::remove(folder + "/runs.txt");
    if (run.exitCode != 9 || keptSegments(folder + "/out.265.parts") != segmentCount - 1) {
        qWarning("%s", run.err.constData());
        return QString();
    }
    return folder;
}

void SegmentsTest::initTestCase()
{
    // Keyframes every 16 pictures, so that each segment's decode seeks.
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", QStringLiteral("testsrc2=size=%1x%2:rate=25").arg(width).arg(height),
                                 "-frames:v", QString::number(pictures), "-c:v", "libx264", "-g", "16",
                                 "-pix_fmt", "yuv420p", shared.filePath("clip.mp4")}));
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), jobArguments(folder), 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    uninterrupted = TestSupport::readFile(folder + "/out.265");
    QVERIFY(!uninterrupted.isEmpty());
    QCOMPARE(encodedSegments(folder).size(), segmentCount);
}

// Two encoders at once: every picture, at the input's size and rate and a good quality; no
// parts folder and no temporary file left; the JSON progress counts the segments.
void SegmentsTest::twoEncoders_fromTheCommandLine_matchTheInput()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QStringList arguments = jobArguments(folder);
    arguments.replace(arguments.indexOf("none"), "json");
    arguments << "--report" << "report.json";
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), arguments, 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());

    const TestSupport::ProbeResult probe = TestSupport::probeVideo(folder + "/out.265");
    QCOMPARE(probe.frames, pictures);
    QCOMPARE(probe.width, width);
    QCOMPARE(probe.height, height);
    const TestSupport::RunResult rate = TestSupport::run("ffprobe", {"-v", "error", "-show_entries", "stream=r_frame_rate",
                                                                   "-of", "csv=p=0", folder + "/out.265"});
    QCOMPARE(rate.out.trimmed(), QByteArray("25/1"));
    const double psnr = TestSupport::lumaPsnr(folder + "/out.265", folder + "/clip.mp4", width, height);
    QVERIFY2(psnr >= 30.0, qPrintable(QString::number(psnr)));
    // Each segment's lines carry its number; the encoders ran side by side.
    QVERIFY2(run.out.contains(QStringLiteral("[1/%1] POC").arg(segmentCount).toUtf8())
                 && run.out.contains(QStringLiteral("[%1/%1] POC").arg(segmentCount).toUtf8()),
             run.out.left(2000).constData());
    QJsonObject last;
    for (const QByteArray &line : run.err.split('\n'))
        if (line.startsWith('{'))
            last = QJsonDocument::fromJson(line).object();
    QCOMPARE(last.value("segments_done").toInt(), segmentCount);
    QCOMPARE(last.value("segments_total").toInt(), segmentCount);
    QCOMPARE(last.value("pictures").toInt(), pictures);
    QVERIFY(!QFileInfo::exists(folder + "/out.265.parts"));
    QVERIFY(everythingIn(env.tempPath()).isEmpty());

    // The report puts every segment's pictures in their places: one row a picture, bits that
    // add up to the file, and the summary's PSNR where the ffmpeg tool's own lies.
    const QJsonObject report = QJsonDocument::fromJson(TestSupport::readFile(folder + "/report.json")).object();
    const QJsonArray rows = report.value("pictures").toArray();
    QCOMPARE(rows.size(), pictures);
    double bits = 0;
    for (int i = 0; i < rows.size(); ++i) {
        QCOMPARE(rows.at(i).toObject().value("index").toInt(), i);
        bits += rows.at(i).toObject().value("bits").toDouble();
    }
    const double bytes = QFileInfo(folder + "/out.265").size();
    QVERIFY2(qAbs(bits / 8 - bytes) <= 0.03 * bytes, qPrintable(QStringLiteral("%1 bits, %2 bytes").arg(bits).arg(bytes)));
    const double reported = report.value("summary").toObject().value("psnr_y").toDouble();
    QVERIFY2(qAbs(reported - psnr) <= 0.3, qPrintable(QStringLiteral("%1 against %2").arg(reported).arg(psnr)));
}

// The window with two encoders at once and the segments it chooses itself: the command line is
// shown once, for the first segment; every picture comes out, and nothing is left behind.
void SegmentsTest::twoEncoders_fromTheWindow_matchTheInput()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    TestWindow window;
    ModalAnswerer answerer;
    QString clip = folder + "/clip.mp4";
    window.fileOpen(clip);
    window.encoderEdit->setText(folder + "/wrapper.sh");
    window.cfgEdit->setText(folder + "/job.cfg");
    window.outputEdit->setText(folder + "/window.265");
    window.encodersBox->setValue(2);
    window.show();
    QCOMPARE(TestSupport::settingsStore().value("parallelEncoders").toInt(), 2);

    QTest::mouseClick(window.encodeButton, Qt::LeftButton);
    QVERIFY(answerer.waitForTitle(QStringLiteral("Cmdline")));
    const QString commandLine = answerer.shown.first().text;
    QVERIFY2(commandLine.contains(QStringLiteral("part_0000000.265")) && commandLine.contains(QStringLiteral("more segment")),
             qPrintable(commandLine));
    QVERIFY(QTest::qWaitFor([&] { return window.logView->toPlainText().contains(QStringLiteral("[2/")); }, 60000));
    TestSupport::saveScreenshot(&window, QStringLiteral("main_window_two_encoders"));
    QVERIFY(answerer.waitForTitle(QStringLiteral("Done"), 120000));
    QCOMPARE(answerer.count(QStringLiteral("Cmdline")), 1);
    QCOMPARE(answerer.shown.last().text, QStringLiteral("Encoding done(0)."));
    QCOMPARE(TestSupport::probeVideo(folder + "/window.265").frames, pictures);
    const double psnr = TestSupport::lumaPsnr(folder + "/window.265", clip, width, height);
    QVERIFY2(psnr >= 30.0, qPrintable(QString::number(psnr)));
    QVERIFY(!QFileInfo::exists(folder + "/window.265.parts"));
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// The frames' presentation times of the first stream of this type, in seconds.
QList<double> frameTimes(const QString &path, const char *type)
{
    const TestSupport::RunResult run = TestSupport::run("ffprobe", {"-v", "error", "-select_streams", QString(type) + ":0",
                                                                   "-show_entries", "frame=pts_time", "-of", "csv=p=0", path});
    QList<double> times;
    for (const QByteArray &line : run.out.split('\n'))
        if (!line.trimmed().isEmpty())
            times << line.split(',').first().trimmed().toDouble();
    return times;
}

// The segments' pictures go into an MP4 at the times the input gave them, on an uneven clock,
// with the input's sound copied unchanged.
void SegmentsTest::twoEncoders_intoAContainer_keepTimesAndSound()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", QStringLiteral("testsrc2=size=%1x%2:rate=25").arg(width).arg(height),
                                 "-f", "lavfi", "-i", "sine=frequency=440:duration=8",
                                 "-vf", "setpts='N/25/TB+if(gte(N,50),0.2/TB,0)'", "-fps_mode", "passthrough",
                                 "-frames:v", "100", "-c:v", "libx264", "-g", "16", "-pix_fmt", "yuv420p",
                                 "-c:a", "aac", "-shortest", folder + "/sound.mp4"}));
    QStringList arguments = jobArguments(folder, QStringLiteral("out.mp4"));
    arguments.replace(0, "sound.mp4");
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), arguments, 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains("Muxed into"), run.err.constData());

    const QList<double> wanted = frameTimes(folder + "/sound.mp4", "v");
    const QList<double> got = frameTimes(folder + "/out.mp4", "v");
    QCOMPARE(got.size(), 100);
    QCOMPARE(got.size(), wanted.size());
    for (int i = 0; i < got.size(); ++i)
        QVERIFY2(qAbs(got.at(i) - wanted.at(i)) < 0.001, qPrintable(QStringLiteral("picture %1: %2 s, not %3 s").arg(i).arg(got.at(i)).arg(wanted.at(i))));
    const auto audioHash = [](const QString &path) {
        return TestSupport::run("ffmpeg", {"-v", "error", "-i", path, "-map", "0:a", "-c", "copy", "-f", "md5", "-"}).out;
    };
    QCOMPARE(audioHash(folder + "/out.mp4"), audioHash(folder + "/sound.mp4"));
    QVERIFY(!QFileInfo::exists(folder + "/out.mp4.parts"));
    QCOMPARE(QDir(folder).entryList({"*.265", ".*.265"}, QDir::Files | QDir::Hidden), QStringList());
}

void SegmentsTest::interrupted_resumesToTheSameBytes_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("meanwhile");
    QTest::newRow("stopped by SIGINT") << int(SIGINT) << QString();
    QTest::newRow("killed outright") << int(SIGKILL) << QString();
    QTest::newRow("configuration changed meanwhile") << int(SIGINT) << "change the configuration";
    QTest::newRow("a kept segment cut short") << int(SIGINT) << "cut a segment short";
}

// A job stopped after some segments goes on where it stopped and ends with exactly the bytes of
// an uninterrupted run: the kept segments are reused as they are, and only the missing ones
// are encoded. A changed configuration discards them; a damaged one is encoded again.
void SegmentsTest::interrupted_resumesToTheSameBytes()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, meanwhile);

    IsolatedEnvironment env;
    const QString folder = prepare(env);
    const QString parts = folder + "/out.265.parts";
    QProcess cli;
    cli.setWorkingDirectory(folder);
    cli.start(cliProgram(), jobArguments(folder));
    QVERIFY(cli.waitForStarted(10000));
    QVERIFY(QTest::qWaitFor([&] { return keptSegments(parts) >= 3; }, 60000));
    ::kill(pid_t(cli.processId()), signalNumber);
    QVERIFY(cli.waitForFinished(20000));
    const QByteArray err = cli.readAllStandardError();
    if (signalNumber == SIGKILL) {
        QCOMPARE(cli.exitStatus(), QProcess::CrashExit);
        // No encoder outlives a job killed outright.
        QVERIFY(QTest::qWaitFor([&] { return TestSupport::processesMentioning(folder + "/out.265.parts").isEmpty(); }, 5000));
    } else {
        QVERIFY2(cli.exitCode() == 128 + signalNumber, err.constData());
        QVERIFY2(err.contains("segments are kept"), err.constData());
        QVERIFY(everythingIn(env.tempPath()).isEmpty());
    }
    const int kept = keptSegments(parts);
    QVERIFY(kept >= 3 && kept < segmentCount);
    QFile::remove(folder + "/runs.txt");

    int expectedRuns = segmentCount - kept;
    QString told = QStringLiteral("Resuming: %1 of %2 segments already encoded.").arg(kept).arg(segmentCount);
    if (meanwhile == "change the configuration") {
        QFile config(folder + "/job.cfg");
        QVERIFY(config.open(QIODevice::Append));
        config.write("# the same, said again\n");
        config.close();
        expectedRuns = segmentCount;
        told = QStringLiteral("were discarded: the configuration's contents have changed since");
    } else if (meanwhile == "cut a segment short") {
        const QString first = QDir(parts).entryList({"part_*.265"}, QDir::Files, QDir::Name).first();
        QVERIFY(QFile(parts + "/" + first).resize(QFileInfo(parts + "/" + first).size() / 2));
        expectedRuns += 1;
        told = QStringLiteral("Resuming: %1 of %2 segments already encoded.").arg(kept - 1).arg(segmentCount);
    }

    QStringList arguments = jobArguments(folder);
    arguments.removeLast();
    arguments.removeLast();   // the progress style: the text messages are wanted
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), arguments, 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains(told.toUtf8()), run.err.constData());
    QCOMPARE(encodedSegments(folder).size(), expectedRuns);
    QVERIFY(TestSupport::readFile(folder + "/out.265") == uninterrupted);
    QVERIFY(!QFileInfo::exists(parts));
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// Three processes started on one job share its segments: none is encoded twice, the output is
// made once and every one ends with success, quietly. A fourth with other settings is refused at
// once and changes nothing.
void SegmentsTest::threeProcesses_shareOneJob()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QStringList arguments = jobArguments(folder);
    arguments.replace(arguments.indexOf("2"), "1");
    arguments.removeLast();
    arguments.removeLast();
    arguments << "-q";
    QProcess first, second, third, other;
    for (QProcess *process : {&first, &second, &third}) {
        process->setWorkingDirectory(folder);
        process->start(cliProgram(), arguments);
        QVERIFY(process->waitForStarted(10000));
    }
    QVERIFY(QTest::qWaitFor([&] { return keptSegments(folder + "/out.265.parts") >= 1; }, 60000));
    QVERIFY(QFile::copy(folder + "/job.cfg", folder + "/other.cfg"));
    QVERIFY(TestSupport::writeFile(folder + "/other.cfg", TestSupport::readFile(folder + "/job.cfg") + "QP : 40\n"));
    QStringList others = arguments;
    others.replace(others.indexOf(folder + "/job.cfg"), folder + "/other.cfg");
    other.setWorkingDirectory(folder);
    other.start(cliProgram(), others);
    QVERIFY(other.waitForFinished(20000));
    QVERIFY2(other.exitCode() == 73, other.readAllStandardError().constData());

    for (QProcess *process : {&first, &second, &third}) {
        QVERIFY(process->waitForFinished(120000));
        const QByteArray err = process->readAllStandardError();
        QVERIFY2(process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0, err.constData());
        // Quiet: neither the encoders' lines nor an error line of a run that went well.
        QVERIFY2(err.isEmpty() && process->readAllStandardOutput().isEmpty(), err.constData());
    }
    QList<int> encoded = encodedSegments(folder);
    std::sort(encoded.begin(), encoded.end());
    QList<int> each;
    for (int i = 0; i < segmentCount; ++i)
        each << i * segmentLength;
    QCOMPARE(encoded, each);
    QVERIFY(TestSupport::readFile(folder + "/out.265") == uninterrupted);
    QVERIFY(!QFileInfo::exists(folder + "/out.265.parts"));
}

// A process on another host (another host name, here in a namespace of its own) killed while it
// holds a claim cannot be seen to die from here: its claim is taken over once it has gone
// unrefreshed for MORLUNEX_CLAIM_TIMEOUT seconds, and the output is right.
void SegmentsTest::claimOfAnotherHost_isTakenOverAfterItsTimeout()
{
    if (TestSupport::run("unshare", {"--uts", "true"}).exitCode != 0)
        QSKIP("unshare --uts is not allowed here: no second host name to run under");
    IsolatedEnvironment env;
    // The first segment takes long on the other host, so that it still holds it when killed.
    const QString folder = prepare(env, "case \"$(hostname) $*\" in elsewhere*part_0000000*) exec sleep 600;; esac\n");
    QStringList arguments = jobArguments(folder);
    arguments.replace(arguments.indexOf("2"), "1");
    QProcess away;
    away.setWorkingDirectory(folder);
    away.start("unshare", QStringList{"--uts", "sh", "-c", "hostname elsewhere && exec \"$0\" \"$@\"", cliProgram()} + arguments);
    QVERIFY(away.waitForStarted(10000));
    const QString claim = folder + "/out.265.parts/part_0000000.claim";
    QVERIFY(QTest::qWaitFor([&] { return TestSupport::readFile(claim).contains("elsewhere"); }, 30000));
    away.kill();
    QVERIFY(away.waitForFinished(10000));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MORLUNEX_CLAIM_TIMEOUT", "3");
    QElapsedTimer clock;
    clock.start();
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), jobArguments(folder), 120000, folder, environment);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains("Segment 1/10 was left by elsewhere (process"), run.err.constData());
    QVERIFY(clock.elapsed() >= 3000);
    QVERIFY(TestSupport::readFile(folder + "/out.265") == uninterrupted);
}

// One segment's encoder fails: the others are stopped, the job reports that encoder's code with
// a line naming the segment, and the finished segments are kept.
void SegmentsTest::failingSegmentEncoder_stopsTheJob()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env, "case \"$*\" in *part_0000064*) echo 'bad segment'; exit 3;; esac\n");
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), jobArguments(folder), 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 3, run.err.constData());
    QVERIFY2(run.err.contains("Segment 5/10 (pictures 64 to 79): the encoder exited with code 3"), run.err.constData());
    QVERIFY2(run.err.contains("segments are kept in"), run.err.constData());
    QVERIFY(keptSegments(folder + "/out.265.parts") >= 1);
    QVERIFY(!QFileInfo::exists(folder + "/out.265"));
    QVERIFY(TestSupport::processesMentioning(folder + "/out.265.parts").isEmpty());
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// An encoder that exits with 0 after one byte in the middle of a segment's bitstream changed (a
// disk or a copy that damaged it): the segment's pictures carry hashes, so it is not kept; the
// job fails naming the segment and the picture, and makes no output.
void SegmentsTest::damagedSegment_isNotKept()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env, "case \"$*\" in *part_0000064*)\n"
                                        "  \"" + QFile::encodeName(TestSupport::binDir()) + "/morlunex-hevc-encoder\" \"$@\" "
                                        "--MlxPreset=ultrafast || exit $?\n"
                                        "  while [ \"$1\" != -b ]; do shift; done\n"
                                        "  at=$(($(stat -c %s \"$2\") / 2))\n"
                                        "  b=$(od -An -tu1 -j$at -N1 \"$2\" | tr -d ' ')\n"
                                        "  printf \"\\\\$(printf %o $((b ^ 32)))\" | dd of=\"$2\" bs=1 seek=$at conv=notrunc status=none\n"
                                        "  exit 0;;\n"
                                        "esac\n");
    QVERIFY(TestSupport::writeFile(folder + "/job.cfg", TestSupport::readFile(folder + "/job.cfg")
                                                            + "MlxX265Params : hash=1\n"));
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), jobArguments(folder), 120000, folder);
    QVERIFY2(run.finished && run.exitCode != 0, run.err.constData());
    QVERIFY2(run.err.contains("Segment 5/10 (pictures 64 to 79) cannot be kept: its bitstream is damaged: its picture ")
                 && run.err.contains("does not match its decoded picture hash (MD5)"), run.err.constData());
    QVERIFY(!QFileInfo::exists(folder + "/out.265.parts/part_0000064.json"));
    QVERIFY(!QFileInfo::exists(folder + "/out.265"));
    QVERIFY(TestSupport::processesMentioning(folder + "/out.265.parts").isEmpty());
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// The reference encoder in two segments at once, each writing the hash of every decoded
// picture: the reference decoder checks every one in the joined stream.
void SegmentsTest::referenceEncoder_hashesOfJoinedSegments()
{
    const QString encoder = TestSupport::referenceTool(QStringLiteral("TAppEncoder"));
    if (encoder.isEmpty() || TestSupport::referenceTool(QStringLiteral("TAppDecoder")).isEmpty())
        QSKIP("The reference encoder and decoder are not there (set MORLUNEX_REFERENCE_BIN)");
    IsolatedEnvironment env;
    const QString folder = env.path();
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25", "-frames:v", "16",
                                 "-c:v", "libx264", "-g", "8", "-pix_fmt", "yuv420p", folder + "/clip.mp4"}));
    QVERIFY(TestSupport::writeFile(folder + "/hash.cfg", TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg")
                                                             + "SEIDecodedPictureHash : 1\n"));
    const TestSupport::RunResult run = TestSupport::run(
        cliProgram(), {"clip.mp4", "-o", "out.265", "-e", encoder, "-c", "hash.cfg", "-j", "2", "--segment-length", "8"},
        300000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const TestSupport::HashCheck check = TestSupport::referenceHashCheck(folder + "/out.265");
    qInfo("%s", qPrintable(check.tail));
    QCOMPARE(check.pictures, 16);
    QCOMPARE(check.matched, 16);
    QCOMPARE(check.mismatched, 0);
}

// A process that runs out of free segments while another host's live process holds the last
// one waits instead of leaving: when that holder dies, it takes the segment over once the claim
// goes stale, and makes the output with every picture, unattended.
void SegmentsTest::waitingProcess_takesOverFromAHolderThatDies()
{
    if (!secondHostPossible())
        QSKIP("unshare --uts is not allowed here: no second host name to run under");
    IsolatedEnvironment env;
    const QString folder = prepare(env, "case \"$(hostname) $*\" in elsewhere*part_0000000*) exec sleep 600;; esac\n");
    const QStringList arguments = oneEncoderArguments(folder);
    const QProcessEnvironment environment = shortClaimTimeout();
    QProcess away;
    away.setProcessEnvironment(environment);
    startElsewhere(away, folder, arguments);
    QVERIFY(away.waitForStarted(10000));
    const QString claim = folder + "/out.265.parts/part_0000000.claim";
    QVERIFY(QTest::qWaitFor([&] { return TestSupport::readFile(claim).contains("elsewhere"); }, 30000));

    QProcess here;
    here.setProcessEnvironment(environment);
    here.setWorkingDirectory(folder);
    here.start(cliProgram(), arguments);
    QVERIFY(here.waitForStarted(10000));
    QByteArray said;
    QVERIFY(QTest::qWaitFor([&] {
        said += here.readAllStandardError();
        return said.contains("Waiting for the segment elsewhere holds");
    }, 60000));
    QCOMPARE(keptSegments(folder + "/out.265.parts"), segmentCount - 1);
    away.kill();
    QVERIFY(away.waitForFinished(10000));
    QVERIFY(here.waitForFinished(60000));
    said += here.readAllStandardError();
    QVERIFY2(here.exitStatus() == QProcess::NormalExit && here.exitCode() == 0, said.constData());
    QVERIFY2(said.contains("Segment 1/10 was left by elsewhere (process"), said.constData());
    QVERIFY(TestSupport::readFile(folder + "/out.265") == uninterrupted);
    QVERIFY(!QFileInfo::exists(folder + "/out.265.parts"));
}

void SegmentsTest::blockedHolder_isTakenOverAndEndsWhenAsked_data()
{
    QTest::addColumn<QString>("then");
    QTest::newRow("stopped by SIGTERM") << "SIGTERM";
    QTest::newRow("its reader comes back") << "read";
}

// A process that holds a segment and stops refreshing its claim without dying (its standard
// output a pipe nobody reads, which it blocks writing to) loses the segment once the claim is
// older than MORLUNEX_CLAIM_TIMEOUT: the other process on the job takes it over and makes the
// whole output. The blocked one still ends when asked (SIGTERM), or, once its output is read
// again, finds its segment taken and the output made, and ends with 0; either way no encoder
// and no temporary file of it is left.
void SegmentsTest::blockedHolder_isTakenOverAndEndsWhenAsked()
{
    QFETCH(QString, then);
    IsolatedEnvironment env;
    // The blocked process's encoder says more than its pipe holds before it encodes.
    const QString folder = prepare(env, "[ -n \"$LOUD_ENCODER\" ] && yes 'the encoder says a lot' | head -n 5000\n");
    const QStringList arguments = oneEncoderArguments(folder);
    const QProcessEnvironment environment = shortClaimTimeout();

    int ends[2];
    QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
    const auto closeReader = qScopeGuard([&ends] { ::close(ends[0]); });
    const int capacity = ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
    QVERIFY(capacity > 0);
    QProcess blocked;
    QProcessEnvironment loud = environment;
    loud.insert("LOUD_ENCODER", "1");
    blocked.setProcessEnvironment(loud);
    blocked.setWorkingDirectory(folder);
    const int unread = ends[1];
    blocked.setChildProcessModifier([unread] { ::dup2(unread, STDOUT_FILENO); });
    blocked.start(cliProgram(), arguments);
    ::close(ends[1]);
    QVERIFY(blocked.waitForStarted(10000));
    // It holds the first segment, and its output fills the pipe.
    const QByteArray holds = "\"pid\":" + QByteArray::number(blocked.processId()) + ",";
    QVERIFY(QTest::qWaitFor([&] {
        int queued = 0;
        return TestSupport::readFile(folder + "/out.265.parts/part_0000000.claim").contains(holds)
            && ::ioctl(ends[0], FIONREAD, &queued) == 0 && queued >= capacity;
    }, 60000));

    QProcess other;
    other.setProcessEnvironment(environment);
    other.setWorkingDirectory(folder);
    other.start(cliProgram(), arguments);
    QVERIFY(other.waitForFinished(180000));
    const QByteArray said = other.readAllStandardError();
    QVERIFY2(other.exitStatus() == QProcess::NormalExit && other.exitCode() == 0, said.constData());
    const QString left = QStringLiteral("Segment 1/10 was left by %1 (process %2), which has not refreshed its claim "
                                        "for 3 s: it is encoded here.")
                             .arg(QSysInfo::machineHostName()).arg(blocked.processId());
    QVERIFY2(said.contains(left.toUtf8()), said.constData());
    QVERIFY(TestSupport::readFile(folder + "/out.265") == uninterrupted);
    QCOMPARE(blocked.state(), QProcess::Running);

    if (then == "SIGTERM") {
        ::kill(pid_t(blocked.processId()), SIGTERM);
        QVERIFY(blocked.waitForFinished(20000));
    } else {
        QVERIFY(::fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0);
        char bytes[65536];
        QVERIFY(QTest::qWaitFor([&] {
            while (::read(ends[0], bytes, sizeof bytes) > 0) {
            }
            return blocked.state() == QProcess::NotRunning;
        }, 60000));
    }
    const QByteArray err = blocked.readAllStandardError();
    QCOMPARE(blocked.exitStatus(), QProcess::NormalExit);
    if (then == "SIGTERM") {
        QVERIFY2(blocked.exitCode() == 128 + SIGTERM && err.contains("stopped by SIGTERM"), err.constData());
    } else {
        QVERIFY2(blocked.exitCode() == 0, err.constData());
        QVERIFY2(err.contains("Segment 1/10 was taken over by another process; it is left to it."), err.constData());
        QVERIFY2(err.contains("Another process on this job made the output"), err.constData());
    }
    QVERIFY(QTest::qWaitFor([&] { return TestSupport::processesMentioning(folder + "/out.265.parts").isEmpty(); }, 5000));
    QVERIFY(TestSupport::readFile(folder + "/out.265") == uninterrupted);
    QVERIFY(!QFileInfo::exists(folder + "/out.265.parts"));
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// Two hosts with one encoder each on a 600-picture input and the plan the job makes itself:
// there are segments enough that each encodes at least a quarter of the pictures.
void SegmentsTest::twoHosts_defaultPlan_eachEncodesAQuarter()
{
    if (!secondHostPossible())
        QSKIP("unshare --uts is not allowed here: no second host name to run under");
    IsolatedEnvironment env;
    const QString folder = prepare(env, "for a in \"$@\"; do case $a in *part_*) echo \"$(hostname) $a\" >> \"$dir/hosts.txt\";; esac; done\n");
    constexpr int total = 600;
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", QString::number(total),
                                 "-c:v", "libx264", "-pix_fmt", "yuv420p", folder + "/long.mp4"}));
    const QStringList arguments{"long.mp4", "-o", "long.265", "-e", folder + "/wrapper.sh", "-c", folder + "/job.cfg",
                                "-j", "1", "-q"};
    QProcess here, away;
    here.setWorkingDirectory(folder);
    here.start(cliProgram(), arguments);
    startElsewhere(away, folder, arguments);
    for (QProcess *process : {&here, &away}) {
        QVERIFY(process->waitForFinished(120000));
        QVERIFY2(process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0,
                 process->readAllStandardError().constData());
    }
    QCOMPARE(TestSupport::probeVideo(folder + "/long.265").frames, total);
    // Each segment's first picture and host, in order of the first pictures.
    QMap<int, QString> hosts;
    static const QRegularExpression line(QStringLiteral("^(\\S+) .*part_([0-9]{7})\\.265"));
    for (const QByteArray &entry : TestSupport::readFile(folder + "/hosts.txt").split('\n'))
        if (const QRegularExpressionMatch match = line.match(QString::fromUtf8(entry)); match.hasMatch())
            hosts.insert(match.captured(2).toInt(), match.captured(1));
    QVERIFY2(hosts.size() >= 4, qPrintable(QStringList(hosts.values()).join(' ')));
    QMap<QString, int> pictures;
    for (auto segment = hosts.begin(); segment != hosts.end(); ++segment) {
        const auto next = std::next(segment);
        pictures[segment.value()] += (next == hosts.end() ? total : next.key()) - segment.key();
    }
    QCOMPARE(pictures.size(), 2);
    for (auto host = pictures.begin(); host != pictures.end(); ++host)
        QVERIFY2(host.value() >= total / 4, qPrintable(QStringLiteral("%1: %2 pictures").arg(host.key()).arg(host.value())));
}

// Two processes on one short job, started at the same moment as a batch system's tasks are,
// twenty times over: however the timing falls (one finds the other made the output, or the
// parts folder gone under it), both end with 0 and the output holds every picture.
void SegmentsTest::twoProcessesStartedTogether_bothEndWithZero()
{
    IsolatedEnvironment env;
    const QString folder = env.path();
    // A short raw input: each round is the two processes' start, claims and join, little else.
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "32", "-pix_fmt",
                                 "yuv420p", "-f", "rawvideo", folder + "/short_64x48.yuv"}));
    const QStringList arguments{"short_64x48.yuv", "--fps", "25", "-o", "out.265", "-e",
                                TestSupport::binDir() + "/morlunex-hevc-encoder", "-c", TestSupport::binDir() + "/hevczent.cfg",
                                "-j", "1", "--segment-length", "16", "-q"};
    for (int round = 0; round < 20; ++round) {
        QFile::remove(folder + "/out.265");
        QProcess first, second;
        for (QProcess *process : {&first, &second}) {
            process->setWorkingDirectory(folder);
            process->start(cliProgram(), arguments);
        }
        for (QProcess *process : {&first, &second}) {
            QVERIFY(process->waitForFinished(60000));
            QVERIFY2(process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0,
                     qPrintable(QStringLiteral("round %1: %2").arg(round).arg(QString::fromLocal8Bit(process->readAllStandardError()))));
        }
        QCOMPARE(TestSupport::probeVideo(folder + "/out.265").frames, 32);
        QVERIFY2(!QFileInfo::exists(folder + "/out.265.parts"),
                 qPrintable(QStringLiteral("round %1: %2").arg(round).arg(everythingIn(folder + "/out.265.parts").join(", "))));
    }
}

void SegmentsTest::tamperedPlan_joinsEveryPictureOnce_data()
{
    QTest::addColumn<QString>("tampering");
    QTest::addColumn<int>("runs");   // segments encoded on the resume
    // The plan is made anew; the kept segments that are one of its segments stay.
    QTest::newRow("an entry deleted") << "delete" << 1;
    QTest::newRow("two overlapping") << "overlap" << 1;
    QTest::newRow("one starting at -100") << "negative" << 1;
    // As a count guessed from a longer sound track left it: segments past the video's end.
    QTest::newRow("an older plan past the input's end") << "past end" << 1;
}

// A parts folder whose plan was edited so that it leaves a gap, overlaps or starts before the
// input is not used as it is: the output holds every picture once, byte for byte an
// uninterrupted run's, and nothing of the job is left, not even files of the edited plan.
void SegmentsTest::tamperedPlan_joinsEveryPictureOnce()
{
    QFETCH(QString, tampering);
    QFETCH(int, runs);
    IsolatedEnvironment env;
    const QString folder = prepareKept(env);
    QVERIFY(!folder.isEmpty());
    const QString parts = folder + "/out.265.parts";
    QFile record(parts + "/job.json");
    QVERIFY(record.open(QIODevice::ReadOnly));
    QJsonObject job = QJsonDocument::fromJson(record.readAll()).object();
    record.close();
    QJsonArray plan = job.value("segments").toArray();
    if (tampering == "delete") {
        plan.removeAt(3);
    } else if (tampering == "overlap") {
        plan[1] = QJsonArray{8, 24};
    } else if (tampering == "past end") {
        plan[9] = QJsonArray{144, 32};
        plan.append(QJsonArray{176, -1});
    } else {
        plan[0] = QJsonArray{-100, 116};
    }
    // What a job run on that plan would have left.
    const QString edited = tampering == "overlap" ? "part_0000008" : "part_-000100";
    if (tampering == "overlap" || tampering == "negative") {
        QVERIFY(TestSupport::writeFile(parts + "/" + edited + ".265", "segment of an edited plan"));
        QVERIFY(TestSupport::writeFile(parts + "/" + edited + ".json", "{\"pictures\": 24, \"bytes\": 25}"));
    }
    job.insert("segments", plan);
    QVERIFY(TestSupport::writeFile(parts + "/job.json", QJsonDocument(job).toJson()));

    QStringList arguments = jobArguments(folder);
    arguments.removeLast();
    arguments.removeLast();
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), arguments, 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains("The parts folder's plan does not cover pictures 0 to 159 once: made anew.\n"),
             run.err.constData());
    QVERIFY2(run.err.contains("Encoded 160 pictures"), run.err.constData());
    QCOMPARE(encodedSegments(folder).size(), runs);
    QVERIFY(TestSupport::readFile(folder + "/out.265") == uninterrupted);
    QVERIFY(!QFileInfo::exists(parts));
}

// A link or a folder where a segment or its record must go is found before any encoder starts
// (73, naming it), and is neither followed nor removed.
void SegmentsTest::linkAtAPartsName_isRefusedBeforeAnyEncoder()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    const QString parts = folder + "/out.265.parts";
    QVERIFY(QDir().mkpath(parts + "/part_0000032.json"));
    QVERIFY(TestSupport::writeFile(folder + "/precious.txt", "not the job's"));
    QVERIFY(QFile::link(folder + "/precious.txt", parts + "/part_0000016.265"));
    for (const char *name : {"part_0000016.265", "part_0000032.json"}) {
        const TestSupport::RunResult run = TestSupport::run(cliProgram(), jobArguments(folder), 60000, folder);
        QVERIFY2(run.finished && run.exitCode == 73, run.err.constData());
        QVERIFY2(run.err.contains(QStringLiteral("%1/%2 is there and is not a regular file").arg(parts, name).toUtf8()),
                 run.err.constData());
        QVERIFY(!QFileInfo::exists(folder + "/runs.txt"));
        QFile::remove(parts + "/part_0000016.265");
    }
    QCOMPARE(TestSupport::readFile(folder + "/precious.txt"), QByteArray("not the job's"));
    QVERIFY(QFileInfo(parts + "/part_0000032.json").isDir());
}

// A process stopped while another works on the same job counts every finished segment in the
// parts folder, the other's included.
void SegmentsTest::stoppedProcess_countsOthersFinishedSegments()
{
    IsolatedEnvironment env;
    // Segment 2 takes its time once the kept folder is made, so that it is stopped half way.
    const QString folder = prepareKept(env, "case \"$*\" in *part_0000016*) [ -f \"$dir/slow\" ] && exec sleep 30;; esac\n");
    QVERIFY(!folder.isEmpty());
    QVERIFY(TestSupport::writeFile(folder + "/slow", ""));
    const QString parts = folder + "/out.265.parts";
    const QString aside = folder + "/aside";
    QVERIFY(QDir().mkpath(aside));
    for (const QString &first : {QStringLiteral("0000016"), QStringLiteral("0000032")})
        for (const char *suffix : {".265", ".json"})
            QVERIFY(QFile::rename(parts + "/part_" + first + suffix, aside + "/part_" + first + suffix));

    QStringList arguments = jobArguments(folder);
    arguments.replace(arguments.indexOf("2"), "1");
    QProcess cli;
    cli.setWorkingDirectory(folder);
    cli.start(cliProgram(), arguments);
    QVERIFY(cli.waitForStarted(10000));
    QVERIFY(QTest::qWaitFor([&] { return encodedSegments(folder) == QList<int>{16}; }, 30000));
    // Another process finishes segment 3 meanwhile: 7 kept before, that one, and not the
    // segment stopped half way.
    for (const char *suffix : {".265", ".json"})
        QVERIFY(QFile::rename(aside + "/part_0000032" + suffix, parts + "/part_0000032" + suffix));
    ::kill(pid_t(cli.processId()), SIGTERM);
    QVERIFY(cli.waitForFinished(20000));
    const QByteArray err = cli.readAllStandardError();
    QVERIFY2(cli.exitCode() == 128 + SIGTERM, err.constData());
    QVERIFY2(err.contains("8 of 10 segments are kept"), err.constData());
}

// A stop that comes as the output step starts ends the job, also when the step hands a kept
// segment back to be encoded again (a byte of it changed since it was kept, its size not): the
// job ends stopped without that segment, and a later run makes the bytes of an uninterrupted one.
void SegmentsTest::stoppedAsTheOutputStarts_endsAndResumesToTheSameBytes()
{
    IsolatedEnvironment env;
    const QString folder = prepareKept(env);
    QVERIFY(!folder.isEmpty());
    const QString parts = folder + "/out.265.parts";
    QFile first(parts + "/part_0000000.265");
    QVERIFY(first.open(QIODevice::ReadWrite));
    const qint64 middle = first.size() / 2;
    QVERIFY(first.seek(middle));
    QByteArray byte = first.read(1);
    byte[0] = char(byte.at(0) ^ 0x01);
    QVERIFY(first.seek(middle) && first.write(byte) == 1);
    first.close();

    JobHere here;
    int everySegmentDone = 0;
    // Every segment is finished first as the last one is kept, then as the output step starts.
    connect(&here.job, &TranscodeJob::progressChanged, this, [&](const JobProgress &progress) {
        if (progress.segmentsTotal > 0 && progress.segmentsDone == progress.segmentsTotal && ++everySegmentDone == 2)
            here.job.stop();
    });
    QVERIFY2(here.run(folder), qPrintable(here.messages.join('\n')));
    QCOMPARE(everySegmentDone, 2);
    QCOMPARE(here.result.outcome, JobResult::Stopped);
    QVERIFY2(here.messages.contains(QStringLiteral("Segment 1/%1 no longer matches its record: it is encoded again.")
                                        .arg(segmentCount)),
             qPrintable(here.messages.join('\n')));
    QCOMPARE(keptSegments(parts), segmentCount - 1);
    QVERIFY(!QFileInfo::exists(folder + "/out.265"));

    QFile::remove(folder + "/runs.txt");
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), oneEncoderArguments(folder), 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QCOMPARE(encodedSegments(folder), QList<int>{0});
    QVERIFY(TestSupport::readFile(folder + "/out.265") == uninterrupted);
    QVERIFY(!QFileInfo::exists(parts));
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// Another process makes the output while this one encodes its first segment, and removes the
// job's files, this process's job record among them, but not the folder, which this process's
// claim keeps: this process keeps its segment, finds the output made, ends as done and leaves
// neither its segment nor the folder behind.
void SegmentsTest::outputMadeElsewhereMeanwhile_leavesNothingBehind()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    const QString parts = folder + "/out.265.parts";
    JobHere here;
    connect(&here.job, &TranscodeJob::message, this, [&](const QString &line) {
        if (line.startsWith(QStringLiteral("Segment 1/"))) {
            QFile::remove(parts + "/job.json");
            TestSupport::writeFile(folder + "/out.265", "made by another process");
        }
    });
    QVERIFY2(here.run(folder), qPrintable(here.messages.join('\n')));
    QCOMPARE(JobVerdict::of(here.result).kind, JobVerdict::Elsewhere);
    QCOMPARE(encodedSegments(folder), QList<int>{0});
    QVERIFY2(!QFileInfo::exists(parts), qPrintable(everythingIn(parts).join(", ")));
    QCOMPARE(TestSupport::readFile(folder + "/out.265"), QByteArray("made by another process"));
    QVERIFY(everythingIn(env.tempPath()).isEmpty());
}

// A process starts just after another made the output and before it removed the parts folder:
// the output it finds is already the job's. It encodes nothing again, ends as done and leaves
// the output as it is.
void SegmentsTest::startedAsAnotherMadeTheOutput_encodesNothingAgain()
{
    IsolatedEnvironment env;
    const QString folder = prepareKept(env);
    QVERIFY(!folder.isEmpty());
    const QString parts = folder + "/out.265.parts";
    QVERIFY(TestSupport::writeFile(folder + "/out.265", "made by another process"));
    JobHere here;
    QVERIFY2(here.run(folder, [&] { QDir(parts).removeRecursively(); }), qPrintable(here.messages.join('\n')));
    QCOMPARE(JobVerdict::of(here.result).kind, JobVerdict::Elsewhere);
    QCOMPARE(encodedSegments(folder), QList<int>{});
    QVERIFY(!QFileInfo::exists(parts));
    QCOMPARE(TestSupport::readFile(folder + "/out.265"), QByteArray("made by another process"));
}

// A process killed while it took a claim leaves the claim it staged under its own name, or the
// one it moved aside to take another's over (an experiment's folder keeps them, as nothing
// removes that folder). The next process to take a claim in that folder removes those of
// processes of this host that have ended, of every claim there, told from later processes given
// their numbers, and only those.
void SegmentsTest::claimStagedByAnEndedProcess_isRemovedByTheFirstTakeInItsFolder()
{
    IsolatedEnvironment env;
    const QString claim = env.filePath("Frac_QP32.claim");
    const QString host = QSysInfo::machineHostName();
    const TestSupport::RunResult ended = TestSupport::run("sh", {"-c", "echo $$"});
    const qint64 endedPid = ended.out.trimmed().toLongLong();
    QVERIFY(endedPid > 0 && !TestSupport::processAlive(endedPid));
    QProcess running;
    running.start("sleep", {"60"});
    QVERIFY(running.waitForStarted(10000));
    const qint64 runningPid = running.processId();
    const auto staged = [&](const QString &aside, const QString &on, qint64 pid) {
        return QStringLiteral("%1.%2%3.%4").arg(claim, aside, on).arg(pid);
    };
    // A claim staged by an earlier process with the running one's number: it says when it started.
    const QByteArray earlier = QStringLiteral("{\"host\":\"%1\",\"pid\":%2,\"started\":1,\"nonce\":\"5eed\"}")
                                   .arg(host).arg(runningPid).toUtf8();
    const QMap<QString, QByteArray> gone{{staged("", host, endedPid), "{\"half"},
                                         {staged("abandoned.", host, endedPid), "{}"},
                                         {staged("", host, runningPid), earlier},
                                         {env.filePath("v.claim.x_QP22.claim.%1.%2").arg(host).arg(endedPid), "{}"}};
    // Nothing tells these from a live process's: the running one's moved aside, another host's.
    const QMap<QString, QByteArray> kept{{staged("abandoned.", host, runningPid), "{}"},
                                         {staged("", "elsewhere", endedPid), "{\"half"},
                                         {claim + ".notes", "not a claim"},
                                         {env.filePath("v.claim.x_QP22.log.%1.%2").arg(host).arg(endedPid), "a log"}};
    for (const QMap<QString, QByteArray> &files : {gone, kept})
        for (auto file = files.begin(); file != files.end(); ++file)
            QVERIFY(TestSupport::writeFile(file.key(), file.value()));

    PartClaim taken(claim);
    QVERIFY(taken.tryTake());
    QStringList left = QDir(env.path()).entryList(QDir::Files);
    left.sort();
    QStringList expected = QStringList(kept.keys()).replaceInStrings(env.path() + "/", QString());
    expected << "Frac_QP32.claim";
    expected.sort();
    QCOMPARE(left, expected);
}

// A claim refreshed by its keeper is never taken for stale, even with a timeout of one second
// and a holder held up for a third of it now and then (busy, or the machine loaded); once its
// keeper stops, another takes it over after the timeout and says why.
void SegmentsTest::heldUpHolder_keepsItsClaimWithAOneSecondTimeout()
{
    IsolatedEnvironment env;
    qputenv("MORLUNEX_CLAIM_TIMEOUT", "1");
    const auto timeout = qScopeGuard([] { qunsetenv("MORLUNEX_CLAIM_TIMEOUT"); });
    const QString path = env.filePath("part_0000000.claim");
    PartClaim held(path);
    QVERIFY(held.tryTake());
    ClaimKeeper keeper([&] { return QList<PartClaim *>{&held}; });
    int lost = 0;
    connect(&keeper, &ClaimKeeper::lost, this, [&] { ++lost; });
    keeper.start();

    PartClaim other(path);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000) {
        QVERIFY2(!other.tryTake(), qPrintable(other.leftBy()));
        QTest::qWait(50);
        if (clock.elapsed() % 700 < 60)
            QThread::msleep(330);
    }
    QCOMPARE(lost, 0);
    QVERIFY(held.held());

    keeper.stop();
    QVERIFY(QTest::qWaitFor([&] { return other.tryTake(); }, 5000));
    QVERIFY2(other.leftBy().contains(QStringLiteral("has not refreshed its claim for 1 s")), qPrintable(other.leftBy()));
    QVERIFY(!held.refresh());
}

QTEST_MAIN(SegmentsTest)
#include "tst_segments.moc"
