// The simulated cluster: many morlunex-cli processes, each with one encoder (-j 1) and a host
// name of its own (unshare --uts), share one folder, with a stand-in encoder that sleeps for a
// time proportional to its pictures and uses no core (bench/cluster/sleeping-encoder.sh), so
// that on a small machine the scheduling alone is timed: one long job in segments, a coding
// experiment of many cells, and a holder killed outright while others wait for its segment.
// The program's own CPU time and file-system calls come from a preloaded counter
// (bench/fscount), its encoders' runs from the stand-in's own log.
//
// Prints one figure a line; for every number of processes P (--processes):
//   cluster_job_makespan_ratio_at_P         the job's wall time over the ideal, the encoders' work
//                                           over P
//   cluster_job_tail_idle_share_at_P        the processes' time after their last encoder ended,
//                                           over P x the wall time; ..._start_idle_share_at_P
//                                           the time before their first encoder started;
//                                           ..._end_after_encoders_seconds_at_P from the last
//                                           encoder run's end to the last process's
//   cluster_job_cpu_per_segment_s_at_P      the program's own CPU time (all its processes) per
//                                           segment, and ..._cpu_per_segment_share_at_P the same
//                                           over a segment's encoding time
//   cluster_job_<call>_per_segment_at_P     opens, renames, links, unlinks, listings (folders
//                                           listed), entries (names read from them), stats, and the
//                                           same calls on /proc (proc_listings, ...)
//   cluster_experiment_..._per_cell_at_P    the same for the experiment, per cell
//   cluster_takeover_seconds_at_P           from the kill of a segment's holder to its encoder
//                                           starting again in another process, with the claim
//                                           timeout and its refresh interval
// then the figures at the largest P without the suffix (cluster_job_makespan_ratio,
// cluster_experiment_makespan_ratio, cluster_cpu_per_cell_share, cluster_listings_per_cell,
// cluster_takeover_seconds), and, at the largest P, the calls per segment and per cell of a job
// and an experiment a quarter the size (..._at_P_quarter), to show which grow with the folder.
// --plot FILE draws the makespan over the ideal against the processes as a PNG.

#include "bench/cluster/fleet.h"
#include "bench/cluster/makespanplot.h"
#include "bench/cluster/standin.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <csignal>

namespace {

struct Options
{
    QString cli, encoder, fscount, work, plot;
    QList<int> processes;
    int msPerPicture = 100;
    int jobPictures = 0, segmentLength = 0;
    int sequences = 0, configurations = 0, cellPictures = 0;
    int claimTimeout = 6;
    int intraPeriod = 25;   // how often the stand-in repeats its parameter sets
};

void print(const QString &name, double value, int decimals = 4)
{
    std::printf("%s %.*f\n", qPrintable(name), decimals, value);
    std::fflush(stdout);
}

void note(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One run of the stand-in, as its log says: its host, when it started and ended, its bitstream
// and the pictures it was given.
struct EncoderRun
{
    QString host;
    double start = 0, end = 0;
    QString bitstream;
    int pictures = 0;
};

QList<EncoderRun> encoderRuns(const QString &encoderFolder)
{
    QList<EncoderRun> runs;
    for (const QByteArray &line : readFile(encoderFolder + "/runs.txt").split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 5)
            continue;
        runs.append({QString::fromUtf8(fields[0]), fields[1].toDouble(), fields[2].toDouble(),
                     QString::fromUtf8(fields[3]), fields[4].toInt()});
    }
    return runs;
}

// The calls the preloaded counter counts, in the order of its line.
const QStringList callNames{"opens", "renames", "links", "unlinks", "listings", "entries", "stats",
                            "proc_opens", "proc_listings", "proc_entries", "proc_stats"};

struct Usage
{
    int processes = 0;   // lines read: processes that ended on their own
    double cpu = 0;
    std::vector<double> calls = std::vector<double>(size_t(callNames.size()), 0.0);
};

Usage usage(const QString &countsFile)
{
    Usage total;
    for (const QByteArray &line : readFile(countsFile).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 6 + callNames.size())
            continue;
        ++total.processes;
        total.cpu += fields[4].toDouble() + fields[5].toDouble();
        for (int c = 0; c < callNames.size(); ++c)
            total.calls[size_t(c)] += fields[6 + c].toDouble();
    }
    return total;
}

// What one scenario at one number of processes came to.
struct Outcome
{
    bool ok = true;
    QStringList problems;
    int processes = 0;
    double makespan = 0, ideal = 0;
    double nominal = 0;       // the encoders' work as their sleeps add up
    double tailIdle = 0, startIdle = 0;
    double endAfterEncoders = 0;   // from the last encoder run's end to the last process's
    int units = 0;            // segments or cells
    double unitSeconds = 0;   // a segment's or a cell's encoding time
    Usage used;

    void fail(const QString &problem)
    {
        ok = false;
        problems << problem;
    }
    double ratio() const { return ideal > 0 ? makespan / ideal : 0; }
    double cpuPerUnit() const { return units > 0 ? used.cpu / units : 0; }
    double perUnit(const QString &call) const
    {
        return units > 0 ? used.calls[size_t(callNames.indexOf(call))] / units : 0;
    }
};

// The ideal wall time: the encoders' work as their runs took it (the stand-in's own start and
// its tools included, which a loaded machine stretches), over the processes. And the idle time
// of the processes before their first encoder run and after their last, from the stand-in's
// log; a process that ran none was idle throughout.
void timeline(const Fleet &fleet, const QList<EncoderRun> &runs, double started, Outcome *outcome)
{
    double work = 0;
    for (const EncoderRun &run : runs)
        work += run.end - run.start;
    outcome->ideal = work / double(fleet.all().size());
    const double end = started + outcome->makespan;
    double head = 0, tail = 0;
    double lastRun = started;
    for (const EncoderRun &run : runs)
        lastRun = std::max(lastRun, run.end);
    outcome->endAfterEncoders = end - lastRun;
    for (const Fleet::Member &member : fleet.all()) {
        double first = end, last = started;
        for (const EncoderRun &run : runs)
            if (run.host == member.host) {
                first = std::min(first, run.start);
                last = std::max(last, run.end);
            }
        if (first >= end) {
            tail += end - started;
            continue;
        }
        head += first - started;
        tail += end - last;
    }
    const double total = double(fleet.all().size()) * outcome->makespan;
    outcome->startIdle = head / total;
    outcome->tailIdle = tail / total;
}

void collect(Fleet &fleet, const QString &folder, double started, bool inTime, const QString &countsFile,
             Outcome *outcome)
{
    double end = started;
    for (const Fleet::Member &member : fleet.all()) {
        end = std::max(end, member.end);
        if (member.status == 0)
            continue;
        const QList<QByteArray> lines = readFile(QStringLiteral("%1/%2.log").arg(folder, member.host)).trimmed().split('\n');
        outcome->fail(QStringLiteral("%1 ended with %2: %3").arg(member.host).arg(member.status)
                          .arg(QString::fromLocal8Bit(lines.last())));
    }
    if (!inTime)
        outcome->fail(QStringLiteral("the processes outlasted the time limit and were killed"));
    outcome->makespan = end - started;
    outcome->processes = int(fleet.all().size());
    outcome->used = usage(countsFile);
}

// How long a scenario may take before its processes are killed: four times the ideal, and room
// for what each process does once the encoders are done (the experiment's results, written by
// every process in turn, take seconds each).
double timeLimit(double work, int processes)
{
    return 4 * work / processes + 600 + 20.0 * processes;
}

QStringList countingEnvironment(const Options &options, const QString &countsFile)
{
    return {QStringLiteral("LD_PRELOAD=%1").arg(options.fscount), QStringLiteral("FSCOUNT_PROGRAM=morlunex-cli"),
            QStringLiteral("FSCOUNT_FILE=%1").arg(countsFile),
            QStringLiteral("CLUSTER_MS_PER_PICTURE=%1").arg(options.msPerPicture),
            QStringLiteral("MORLUNEX_CLAIM_TIMEOUT=%1").arg(options.claimTimeout)};
}

// A scenario's own folder, with a copy of the stand-in (so that its log is the scenario's) and
// a private temporary folder.
QString scenarioFolder(const Options &options, const QString &name)
{
    const QString folder = QStringLiteral("%1/%2").arg(options.work, name);
    QDir(folder).removeRecursively();
    QDir().mkpath(folder + "/tmp");
    QDir().mkpath(folder + "/encoder");
    for (const QString &file : QDir(options.work + "/encoder").entryList(QDir::Files))
        QFile::copy(options.work + "/encoder/" + file, folder + "/encoder/" + file);
    return folder;
}

QStringList jobArguments(const Options &options, const QString &folder, int segmentLength, const QString &input)
{
    return {options.cli, "-j", "1", "-q", "--progress", "none", "-e", StandIn::encoderIn(folder + "/encoder", options.encoder),
            "-c", folder + "/encoder/stand-in.cfg", "--size", StandIn::size(), "--fps", "25", "--segment-length",
            QString::number(segmentLength), "-o", folder + "/job.265", input};
}

// Every segment encoded once, and the output's pictures those of the input, in order.
void checkJob(const QString &folder, const QList<EncoderRun> &runs, int pictures, int segmentLength, Outcome *outcome)
{
    static const QRegularExpression part(QStringLiteral("/part_([0-9]+)\\.265"));
    QHash<int, int> encodes;
    for (const EncoderRun &run : runs) {
        const QRegularExpressionMatch match = part.match(run.bitstream);
        if (match.hasMatch())
            ++encodes[match.captured(1).toInt()];
    }
    for (int first = 0; first < pictures; first += segmentLength)
        if (encodes.value(first) != 1)
            outcome->fail(QStringLiteral("the segment from picture %1 was encoded %2 times").arg(first).arg(encodes.value(first)));
    if (encodes.size() != outcome->units)
        outcome->fail(QStringLiteral("%1 segments were encoded, not %2").arg(encodes.size()).arg(outcome->units));
    if (StandIn::slices(readFile(folder + "/job.265")) != StandIn::expectedSlices(folder + "/encoder", pictures))
        outcome->fail(QStringLiteral("the output's pictures are not the input's, in order"));
}

Outcome runJob(const Options &options, int processes, int pictures, const QString &name)
{
    const QString folder = scenarioFolder(options, name);
    const QString counts = folder + "/counts.txt";
    Outcome outcome;
    outcome.units = (pictures + options.segmentLength - 1) / options.segmentLength;
    outcome.unitSeconds = options.segmentLength * options.msPerPicture / 1000.0;
    outcome.nominal = pictures * options.msPerPicture / 1000.0;
    QStringList environment = countingEnvironment(options, counts);
    environment << QStringLiteral("TMPDIR=%1/tmp").arg(folder);
    Fleet fleet(folder, environment);
    const QString input = folder + "/job.yuv";
    writeFile(input, StandIn::rawPictures(pictures, options.intraPeriod));
    const double started = fleet.start(processes, jobArguments(options, folder, options.segmentLength, input));
    const bool inTime = fleet.wait(timeLimit(outcome.nominal, processes));
    collect(fleet, folder, started, inTime, counts, &outcome);
    const QList<EncoderRun> runs = encoderRuns(folder + "/encoder");
    timeline(fleet, runs, started, &outcome);
    checkJob(folder, runs, pictures, options.segmentLength, &outcome);
    return outcome;
}

// A plan of sequences x configurations x 4 QPs, every sequence the same raw file of
// cellPictures pictures, every configuration the stand-in.
QString writePlan(const Options &options, const QString &folder, int sequences)
{
    QJsonArray sequenceList, configurationList;
    for (int s = 0; s < sequences; ++s)
        sequenceList.append(QJsonObject{{"name", QStringLiteral("S%1").arg(s, 4, 10, QLatin1Char('0'))},
                                        {"path", QStringLiteral("../cell_%1.yuv").arg(StandIn::size())},
                                        {"size", StandIn::size()},
                                        {"fps", 25}});
    for (int c = 0; c < options.configurations; ++c) {
        QJsonObject configuration{{"name", QStringLiteral("c%1").arg(c)},
                                  {"encoder", "encoder/" + QFileInfo(options.encoder).fileName()},
                                  {"cfg", "encoder/stand-in.cfg"}};
        if (c == 0)
            configuration.insert("anchor", true);
        configurationList.append(configuration);
    }
    const QJsonObject plan{{"sequences", sequenceList}, {"configurations", configurationList},
                           {"qps", QJsonArray{22, 27, 32, 37}}};
    const QString path = folder + "/plan.json";
    writeFile(path, QJsonDocument(plan).toJson());
    return path;
}

// Every cell encoded once and recorded done.
void checkExperiment(const QString &folder, const QList<EncoderRun> &runs, Outcome *outcome)
{
    QHash<QString, int> encodes;
    for (const EncoderRun &run : runs)
        ++encodes[run.bitstream];
    int twice = 0;
    for (auto it = encodes.cbegin(); it != encodes.cend(); ++it)
        twice += it.value() > 1 ? 1 : 0;
    if (encodes.size() != outcome->units || twice > 0)
        outcome->fail(QStringLiteral("%1 cells were encoded, %2 of them more than once, of %3")
                          .arg(encodes.size()).arg(twice).arg(outcome->units));
    int done = 0;
    const QDir results(folder + "/plan.results");
    for (const QString &configuration : results.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        for (const QString &record : QDir(results.filePath(configuration)).entryList({"*.record"}, QDir::Files)) {
            const QJsonObject object = QJsonDocument::fromJson(readFile(results.filePath(configuration + "/" + record))).object();
            done += object.value("state").toString() == QLatin1String("done") ? 1 : 0;
        }
    if (done != outcome->units)
        outcome->fail(QStringLiteral("%1 of %2 cells are recorded done").arg(done).arg(outcome->units));
    // The results written last hold every cell, whichever process wrote them.
    const int inResults = QJsonDocument::fromJson(readFile(results.filePath("results.json"))).object().value("cells_done").toInt();
    if (inResults != outcome->units)
        outcome->fail(QStringLiteral("results.json holds %1 of %2 cells done").arg(inResults).arg(outcome->units));
}

Outcome runExperiment(const Options &options, int processes, int sequences, const QString &name)
{
    const QString folder = scenarioFolder(options, name);
    const QString counts = folder + "/counts.txt";
    Outcome outcome;
    outcome.units = sequences * options.configurations * 4;
    outcome.unitSeconds = options.cellPictures * options.msPerPicture / 1000.0;
    outcome.nominal = outcome.units * outcome.unitSeconds;
    const QString plan = writePlan(options, folder, sequences);
    QStringList environment = countingEnvironment(options, counts);
    environment << QStringLiteral("TMPDIR=%1/tmp").arg(folder);
    Fleet fleet(folder, environment);
    const double started = fleet.start(processes, {options.cli, "--experiment", plan, "-j", "1", "-q"});
    const bool inTime = fleet.wait(timeLimit(outcome.nominal, processes));
    collect(fleet, folder, started, inTime, counts, &outcome);
    const QList<EncoderRun> runs = encoderRuns(folder + "/encoder");
    timeline(fleet, runs, started, &outcome);
    checkExperiment(folder, runs, &outcome);
    return outcome;
}

// A process and everything below it, from its threads' lists of children: killed together, so
// that the killed holder's encoder does not stay behind.
QList<pid_t> processTree(pid_t root)
{
    QList<pid_t> tree{root};
    for (int i = 0; i < tree.size(); ++i) {
        const QString tasks = QStringLiteral("/proc/%1/task").arg(tree.at(i));
        for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            for (const QByteArray &child : readFile(tasks + "/" + task + "/children").split(' '))
                if (child.trimmed().toInt() > 0)
                    tree << pid_t(child.trimmed().toInt());
    }
    return tree;
}

// Half the processes hold a segment each, the other half wait for them; one holder is killed
// outright as soon as every segment is claimed. The seconds from the kill until the segment's
// encoder starts again under another process; negative when that never happened.
double runTakeover(const Options &options, int processes, QStringList *problems)
{
    const QString folder = scenarioFolder(options, QStringLiteral("takeover_%1").arg(processes));
    const int segments = std::max(1, processes / 2);
    // Each segment takes about two refresh intervals, so the holders are still at work when
    // one of them is killed and the rest wait for its claim.
    const int length = std::max(1, options.claimTimeout * 1000 / 3 / options.msPerPicture);
    const QString input = folder + "/takeover.yuv";
    writeFile(input, StandIn::rawPictures(segments * length, length));
    QStringList environment = countingEnvironment(options, folder + "/counts.txt");
    environment << QStringLiteral("TMPDIR=%1/tmp").arg(folder);
    Fleet fleet(folder, environment);
    const double started = fleet.start(processes, jobArguments(options, folder, length, input));
    const QString parts = folder + "/job.265.parts";
    double killedAt = 0;
    QString victimPart;
    QString victimHost;
    const bool inTime = fleet.wait(120 + 4.0 * options.claimTimeout, [&] {
        if (killedAt > 0 || QDir(parts).entryList({"part_*.claim"}, QDir::Files).size() < segments)
            return;
        // The holder of a segment whose encoder has not ended yet, as its claim names it: on a
        // loaded machine the first segments may be done before the last is claimed.
        const QByteArray ended = readFile(folder + "/encoder/runs.txt");
        for (const QString &name : QDir(parts).entryList({"part_*.claim"}, QDir::Files, QDir::Name)) {
            const QString part = QString(name).replace(".claim", ".265");
            if (ended.contains(part.toUtf8()))
                continue;
            const QJsonObject holder = QJsonDocument::fromJson(readFile(parts + "/" + name)).object();
            const pid_t pid = pid_t(holder.value("pid").toInteger());
            if (!fleet.has(pid))
                continue;
            // The holder first, as a machine that fails would; its encoder, which would wait
            // for its input for ever, right after.
            const QList<pid_t> tree = processTree(pid);
            for (pid_t member : tree)
                ::kill(member, SIGKILL);
            killedAt = Fleet::now();
            victimPart = part;
            victimHost = holder.value("host").toString();
            return;
        }
    });
    Q_UNUSED(started);
    if (!inTime)
        *problems << QStringLiteral("the takeover's processes outlasted the time limit and were killed");
    if (killedAt <= 0) {
        *problems << QStringLiteral("no holder could be killed");
        return -1;
    }
    double takenOver = -1;
    for (const EncoderRun &run : encoderRuns(folder + "/encoder"))
        if (run.bitstream.contains(victimPart) && run.host != victimHost && run.start >= killedAt)
            takenOver = takenOver < 0 ? run.start - killedAt : std::min(takenOver, run.start - killedAt);
    if (takenOver < 0)
        *problems << QStringLiteral("the killed holder's segment was not encoded again");
    if (!QFile::exists(folder + "/job.265"))
        *problems << QStringLiteral("the takeover's job made no output");
    return takenOver;
}

void printOutcome(const QString &kind, const QString &unit, const QString &suffix, const Outcome &outcome)
{
    const QString prefix = QStringLiteral("cluster_%1_").arg(kind);
    print(prefix + "makespan_ratio" + suffix, outcome.ratio());
    print(prefix + "makespan_seconds" + suffix, outcome.makespan, 2);
    print(prefix + "ideal_seconds" + suffix, outcome.ideal, 2);
    // How much longer the stand-in's runs took than their sleeps: the machine's load.
    print(prefix + "encoder_overhead_share" + suffix, outcome.nominal > 0 ? outcome.ideal * outcome.processes / outcome.nominal - 1 : 0);
    print(prefix + "tail_idle_share" + suffix, outcome.tailIdle);
    print(prefix + "start_idle_share" + suffix, outcome.startIdle);
    print(prefix + "end_after_encoders_seconds" + suffix, outcome.endAfterEncoders, 2);
    print(prefix + "cpu_per_" + unit + "_s" + suffix, outcome.cpuPerUnit(), 5);
    print(prefix + "cpu_per_" + unit + "_share" + suffix, outcome.cpuPerUnit() / outcome.unitSeconds, 5);
    for (const QString &call : callNames)
        print(prefix + call + "_per_" + unit + suffix, outcome.perUnit(call), 2);
    if (outcome.used.processes != outcome.processes)
        note(QStringLiteral("%1note%2 %3 of %4 processes counted").arg(prefix, suffix).arg(outcome.used.processes)
                 .arg(outcome.processes));
    for (const QString &problem : outcome.problems)
        note(QStringLiteral("%1problem%2 %3").arg(prefix, suffix, problem));
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("The simulated cluster: many -j 1 processes on one folder, encoders that sleep.");
    parser.addHelpOption();
    const QCommandLineOption cli("cli", "morlunex-cli to run.", "path");
    const QCommandLineOption encoder("encoder", "The stand-in encoder: bench/sleeping-encoder in the build, or bench/cluster/sleeping-encoder.sh.", "path");
    const QCommandLineOption fscount("fscount", "The preloaded counter library.", "path");
    const QCommandLineOption work("work", "A scratch folder.", "path");
    const QCommandLineOption processes("processes", "Numbers of processes, comma-separated.", "list", "8,16,32,48");
    const QCommandLineOption ms("ms-per-picture", "The stand-in's sleep per picture.", "ms", "100");
    const QCommandLineOption jobPictures("job-pictures", "The job's pictures.", "n", "9600");
    const QCommandLineOption segmentLength("segment-length", "The job's segment length.", "n", "50");
    const QCommandLineOption sequences("sequences", "The experiment's sequences.", "n", "125");
    const QCommandLineOption configurations("configurations", "The experiment's configurations.", "n", "4");
    const QCommandLineOption cellPictures("cell-pictures", "Pictures of a cell.", "n", "10");
    const QCommandLineOption intraPeriod("intra-period", "Pictures from one repeat of the stand-in's parameter sets to "
                                         "the next; a divisor of the segment length.", "n", "25");
    const QCommandLineOption claimTimeout("claim-timeout", "MORLUNEX_CLAIM_TIMEOUT for every process.", "s", "6");
    const QCommandLineOption plot("plot", "Draw the makespan over the ideal into this PNG.", "path");
    const QCommandLineOption only("only", "Run only these scenarios: job, experiment, takeover, quarter.", "list",
                                  "job,experiment,takeover,quarter");
    parser.addOptions({cli, encoder, fscount, work, processes, ms, jobPictures, segmentLength, sequences, configurations,
                       cellPictures, intraPeriod, claimTimeout, plot, only});
    parser.process(app);

    Options options;
    options.cli = QFileInfo(parser.value(cli)).absoluteFilePath();
    options.encoder = QFileInfo(parser.value(encoder)).absoluteFilePath();
    options.fscount = QFileInfo(parser.value(fscount)).absoluteFilePath();
    options.work = QFileInfo(parser.value(work)).absoluteFilePath();
    options.plot = parser.value(plot);
    for (const QString &count : parser.value(processes).split(','))
        if (count.toInt() > 0)
            options.processes << count.toInt();
    options.msPerPicture = std::max(1, parser.value(ms).toInt());
    options.jobPictures = std::max(1, parser.value(jobPictures).toInt());
    options.segmentLength = std::max(1, parser.value(segmentLength).toInt());
    options.sequences = std::max(1, parser.value(sequences).toInt());
    options.configurations = std::max(2, parser.value(configurations).toInt());
    options.cellPictures = std::max(1, parser.value(cellPictures).toInt());
    options.claimTimeout = std::max(1, parser.value(claimTimeout).toInt());
    options.intraPeriod = std::max(1, parser.value(intraPeriod).toInt());
    if (options.segmentLength % options.intraPeriod != 0)
        options.intraPeriod = options.segmentLength;
    const QStringList scenarios = parser.value(only).split(',');
    for (const QString &file : {options.cli, options.encoder, options.fscount})
        if (!QFileInfo(file).isFile()) {
            std::fprintf(stderr, "cluster_bench: %s is not there\n", qPrintable(file));
            return 2;
        }
    if (options.work.isEmpty() || options.processes.isEmpty()
        || QProcess::execute("unshare", {"--uts", "true"}) != 0) {
        note("cluster_bench n/a: needs --work, --processes and unshare --uts (root, or a user namespace)");
        return 0;
    }
    QDir().mkpath(options.work);
    const QString unprepared = StandIn::prepare(options.work + "/encoder", options.encoder);
    if (!unprepared.isEmpty()) {
        std::fprintf(stderr, "cluster_bench: %s\n", qPrintable(unprepared));
        return 2;
    }
    writeFile(QStringLiteral("%1/cell_%2.yuv").arg(options.work, StandIn::size()),
              StandIn::rawPictures(options.cellPictures, options.intraPeriod));
    note(QStringLiteral("cluster_setup job %1 pictures in segments of %2, experiment %3 cells of %4 pictures, "
                        "%5 ms a picture, claim timeout %6 s (refreshed every %7 s)")
             .arg(options.jobPictures).arg(options.segmentLength)
             .arg(options.sequences * options.configurations * 4).arg(options.cellPictures).arg(options.msPerPicture)
             .arg(options.claimTimeout).arg(std::min(options.claimTimeout / 6.0, 10.0), 0, 'f', 2));

    bool allOk = true;
    QList<double> jobRatios, experimentRatios;
    std::map<int, Outcome> jobs, experiments;
    std::map<int, double> takeovers;
    const auto keep = [&](const QString &kind, const QString &unit, const QString &suffix, const Outcome &outcome,
                          QList<double> *ratios) {
        printOutcome(kind, unit, suffix, outcome);
        if (ratios)
            *ratios << outcome.ratio();
        allOk = allOk && outcome.ok;
    };
    for (int count : options.processes) {
        const QString suffix = QStringLiteral("_at_%1").arg(count);
        if (scenarios.contains("job")) {
            jobs[count] = runJob(options, count, options.jobPictures, QStringLiteral("job_%1").arg(count));
            keep("job", "segment", suffix, jobs[count], &jobRatios);
        }
        if (scenarios.contains("experiment")) {
            experiments[count] = runExperiment(options, count, options.sequences, QStringLiteral("experiment_%1").arg(count));
            keep("experiment", "cell", suffix, experiments[count], &experimentRatios);
        }
        if (scenarios.contains("takeover")) {
            QStringList problems;
            const double seconds = runTakeover(options, count, &problems);
            print("cluster_takeover_seconds" + suffix, seconds, 2);
            for (const QString &problem : problems)
                note("cluster_takeover_problem" + suffix + " " + problem);
            takeovers[count] = seconds;
            allOk = allOk && problems.isEmpty();
        }
    }
    const int largest = options.processes.last();
    if (scenarios.contains("quarter")) {
        // The same number of processes on a job and an experiment a quarter the size: a call
        // per segment or per cell that grows with the folder shows here.
        const QString suffix = QStringLiteral("_at_%1_quarter").arg(largest);
        keep("job", "segment", suffix,
             runJob(options, largest, std::max(options.segmentLength, options.jobPictures / 4), "job_quarter"), nullptr);
        keep("experiment", "cell", suffix,
             runExperiment(options, largest, std::max(1, options.sequences / 4), "experiment_quarter"), nullptr);
    }
    note(QStringLiteral("cluster_target makespan ratio <= 1.03, cpu per cell share < 0.01, takeover <= %1 s")
             .arg(options.claimTimeout + std::min(options.claimTimeout / 6.0, 10.0), 0, 'f', 2));
    if (jobs.count(largest))
        print("cluster_job_makespan_ratio", jobs[largest].ratio());
    if (experiments.count(largest)) {
        print("cluster_experiment_makespan_ratio", experiments[largest].ratio());
        print("cluster_cpu_per_cell_share", experiments[largest].cpuPerUnit() / experiments[largest].unitSeconds, 5);
        print("cluster_listings_per_cell", experiments[largest].perUnit("listings"), 2);
    }
    if (takeovers.count(largest))
        print("cluster_takeover_seconds", takeovers[largest], 2);
    if (!options.plot.isEmpty() && (!jobRatios.isEmpty() || !experimentRatios.isEmpty())) {
        if (MakespanPlot::draw(options.plot, options.processes, jobRatios, experimentRatios))
            note("cluster_plot " + QFileInfo(options.plot).absoluteFilePath());
        else
            note("cluster_plot n/a: " + options.plot + " could not be written");
    }
    return allOk ? 0 : 1;
}
