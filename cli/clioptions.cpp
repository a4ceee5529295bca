#include "clioptions.h"

#include "files/settingsstore.h"
#include "job/inputnaming.h"
#include "report/bdrate.h"
#include "report/qualityreport.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QProcess>
#include <QThread>

#include <functional>

namespace {

// A configured file as the window finds it: the stored value when there is one, else the
// default name; a relative path counts from the program's folder, which the window makes its
// current directory. The user's own current directory is not touched.
QString programFile(const SettingsStore &store, const char *key, const char *defaultName)
{
    QString value = store.value(key).toString();
    if (value.isEmpty())
        value = QLatin1String(defaultName);
    return QDir(QCoreApplication::applicationDirPath()).filePath(value);
}

// An encoder named on the command line: a path as it stands, a bare name that is no file in
// the current directory looked up in PATH, as a shell would.
QString encoderProgram(const QString &name)
{
    if (name.contains(QLatin1Char('/')) || QFileInfo::exists(name))
        return name;
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? name : found;
}

bool readCount(const QString &text, qint64 minimum, qint64 *value)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,15}$"));
    if (!digits.match(text).hasMatch())
        return false;
    *value = text.toLongLong();
    return *value >= minimum;
}

const QString description = QStringLiteral(
    "Transcodes a video into an HEVC or VVC bitstream: decodes INPUT into padded planar YUV pictures in the bit "
    "depth and chroma format the configuration asks for (8-bit 4:2:0 by default) that stream to the "
    "encoder through a pipe, then writes the input's picture rate, aspect ratio and colour "
    "description into an HEVC bitstream's parameter sets. A raw .yuv INPUT goes "
    "to the encoder as it is. An output named .mp4, .m4v, .mov, .mkv, .ts or .m2ts is a "
    "container holding the HEVC bitstream with INPUT's sound, subtitles and chapters, in sync (a "
    "VVC bitstream goes into a raw .266 stream only).\n"
    "\n"
    "  morlunex-cli [options] INPUT\n"
    "  morlunex-cli --join OUTPUT SEGMENT...\n"
    "  morlunex-cli --bd-rate ANCHOR.json... --vs TEST.json... [--yuv-weights Y:U:V]\n"
    "  morlunex-cli --experiment PLAN.json [--results] [--anchor NAME] [-j N] [--progress STYLE] [-q]\n"
    "\n"
    "--bd-rate prints the BD-rate of the test reports against the anchor reports for Y, U, V and "
    "YUV in percent (negative: the test needs fewer bits), and the BD-PSNR for Y in dB; with "
    "--progress json as one JSON object:\n"
    "  --bd-rate ANCHOR.json...  The anchor's quality reports, four or more (written by --report\n"
    "                            or --qp, all JSON or all CSV), one a QP.\n"
    "  --vs TEST.json...         The test's reports, four or more.\n"
    "  --yuv-weights Y:U:V       The weights of the PSNRs of Y, U and V in the YUV figure (default\n"
    "                            6:1:1; planes a 4:0:0 report lacks are left out).\n"
    "\n"
    "Exit status: 0 done; the encoder's own code when it fails; 1 --experiment: cells failed (the others are "
    "done); 64 usage (a bad plan too); 65 a segment cannot "
    "be joined, or a file is no quality report; 66 input, configuration or report unreadable, "
    "or no video in the input; 69 the encoder does not start; 73 the output or the report "
    "cannot be created, or is the input, configuration or encoder, or the --join output exists, "
    "or OUTPUT.parts/ is in use by a job with other settings or holds a link or a folder at one of its "
    "names, or --experiment's folder belongs to another plan or holds files the experiment did not make; "
    "74 not every picture reached the "
    "encoder (with --strict also: the input ended before the pictures it declares), or the "
    "output could not be written (a container's bitstream is then kept as OUTPUT.265, or the next free "
    "name), or an experiment's cell or results file could not be written (the cells done are kept); 75 "
    "temporary folder unusable; 76 the encoder exited 0 without writing a picture, or a segment "
    "it wrote is not whole, or it had every picture and then wrote nothing for long (it is ended); 128 + N after signal N (130 SIGINT, 143 SIGTERM, 129 SIGHUP).");

} // namespace

bool CliOptions::fail(const QString &text)
{
    errorText = text;
    return false;
}

// Where an option may be given: with a transcode, with --join, with --experiment.
enum Use { Transcode = 1, Join = 2, Experiment = 4, Any = Transcode | Join | Experiment };

// Why an option cannot be given where it was.
QString misplaced(const QString &name, int use, int mode)
{
    if (mode == Use::Join)
        return QStringLiteral("--join takes no --%1").arg(name);
    if (mode == Use::Experiment)
        return QStringLiteral("--experiment takes no --%1").arg(name);
    return QStringLiteral("--%1 goes with --%2").arg(name, (use & Use::Join) ? QStringLiteral("join") : QStringLiteral("experiment"));
}

// One option of the command line: its names, its value's name (none for a switch), its help,
// where it may be given, and what it does with its value (false for a usage error, which it
// has told through fail()).
struct CliOptions::Option
{
    QStringList names;
    QString value;
    QString help;
    Use use = Use::Transcode;
    std::function<bool(CliOptions &, const QString &)> take;

    QCommandLineOption option() const
    {
        return value.isEmpty() ? QCommandLineOption(names, help) : QCommandLineOption(names, help, value);
    }
    QString name() const { return names.constLast(); }
};

const QList<CliOptions::Option> CliOptions::options{
    {{"o", "output"}, "FILE", "The bitstream or container to write (default: INPUT with the suffix .265).",
     Use::Transcode, [](CliOptions &o, const QString &v) { o.jobSettings.output = v; return true; }},
    {{"c", "cfg"}, "FILE",
     "The encoder configuration (default: the window's choice, else hevczent.cfg beside the program).",
     Use::Transcode, [](CliOptions &o, const QString &v) { o.jobSettings.config = v; return true; }},
    {{"e", "encoder"}, "PROGRAM",
     "The HEVC or VVC encoder program (default: the window's choice, else TAppEncoder_hm80.exe beside the program); "
     "with --join, VVC segments are decoded by the VVC decoder beside it.",
     Use(Use::Transcode | Use::Join),
     [](CliOptions &o, const QString &v) { o.jobSettings.encoder = encoderProgram(v); return true; }},
    {{"size"}, "WxH", "Picture size of a raw .yuv input (default: from its name, else the last raw input's).",
     Use::Transcode, [](CliOptions &o, const QString &v) { o.rawSize = v; return true; }},
    {{"fps"}, "RATE", "Pictures per second of a raw .yuv input.",
     Use::Transcode, [](CliOptions &o, const QString &v) { o.rawRate = v; return true; }},
    {{"start"}, "N", "Begin at picture N of the input (0 is the first; a raw input too).", Use::Transcode,
     [](CliOptions &o, const QString &v) {
         return readCount(v, 0, &o.jobSettings.startPicture)
             || o.fail(QStringLiteral("--start takes a picture number, not \"%1\"").arg(v));
     }},
    {{"frames"}, "M", "Encode at most M pictures.", Use::Transcode,
     [](CliOptions &o, const QString &v) {
         return readCount(v, 1, &o.jobSettings.pictureLimit)
             || o.fail(QStringLiteral("--frames takes a count of 1 or more, not \"%1\"").arg(v));
     }},
    {{"overlap"}, "",
     "A task whose bitstream --join joins exactly with the next task's: --start and --frames as for its share, and "
     "the encoder also codes the next task's first picture (none after the input's end); an encoder whose "
     "temporal filter reads pictures around the one it filters is given those before and after the share too, "
     "and told which pictures to code in a copy of its configuration.",
     Use::Transcode, [](CliOptions &o, const QString &) { o.overlapTask = true; return true; }},
    {{"progress"}, "STYLE",
     "Progress on standard error: text (a status line on a terminal, else a line every 5 s), json (one "
     "object a line) or none.",
     Use(Use::Transcode | Use::Experiment), [](CliOptions &o, const QString &v) { return o.readProgressStyle(v); }},
    {{"q", "quiet"}, "",
     "Errors only on standard error: no command line, messages, encoder output or summary, and no progress "
     "unless --progress asks for it.",
     Use::Any, [](CliOptions &o, const QString &) { o.quietRun = true; return true; }},
    {{"join"}, "OUTPUT",
     "Join the SEGMENT bitstreams, in the order given, into OUTPUT. A segment that also holds the next one's first "
     "picture (its task ran with --frames one more; the next opens with that picture as an IDR picture) is joined "
     "exactly: both copies must decode to the same picture (their picture hashes, else decoded), the second goes and "
     "the picture order counts go on, which gives the bytes of one encoder run over the whole. Segments named "
     "part_<first>.265 must then overlap by exactly that picture.",
     Use::Join, [](CliOptions &o, const QString &v) { o.joinTarget = v; return true; }},
    {{"strict"}, "", "Fail (status 74) when the input ends before the pictures it declares.",
     Use::Transcode, [](CliOptions &o, const QString &) { o.strictRun = true; return true; }},
    {{"overwrite"}, "", "--join: replace OUTPUT when it exists.",
     Use::Join, [](CliOptions &o, const QString &) { o.overwriteOutput = true; return true; }},
    {{"j", "jobs"}, "N",
     "Encode up to N segments at once, each with its own encoder (auto: one a core). Finished segments are "
     "kept in OUTPUT.parts/ until the output is made, so a stopped job goes on where it stopped.",
     Use(Use::Transcode | Use::Experiment), [](CliOptions &o, const QString &v) { return o.readJobs(v); }},
    {{"segment-length"}, "N",
     "Cut the input into segments of N pictures (default: whole intra periods, chosen from the configuration).",
     Use::Transcode,
     [](CliOptions &o, const QString &v) {
         return readCount(v, 1, &o.jobSettings.segmentLength)
             || o.fail(QStringLiteral("--segment-length takes a number of pictures of 1 or more, not \"%1\"").arg(v));
     }},
    {{"fresh"}, "", "Discard the segments kept from an earlier run of the same job.",
     Use::Transcode, [](CliOptions &o, const QString &) { o.jobSettings.fresh = true; return true; }},
    {{"no-wait"}, "",
     "Segments: end once every free segment is done and live processes hold the rest, leaving them to those "
     "(default: wait, and take over a segment whose holder goes).",
     Use::Transcode, [](CliOptions &o, const QString &) { o.jobSettings.noWait = true; return true; }},
    {{"expect"}, "N", "--join: the segments must hold N pictures in all.", Use::Join,
     [](CliOptions &o, const QString &v) {
         return readCount(v, 1, &o.expected)
             || o.fail(QStringLiteral("--expect takes a number of pictures of 1 or more, not \"%1\"").arg(v));
     }},
    {{"encoder-log"}, "FILE",
     "Append the encoder's own output (standard output and error) to FILE instead (-q alone drops it).",
     Use::Transcode,
     [](CliOptions &o, const QString &v) {
         o.encoderLogPath = v;
         return !v.isEmpty() || o.fail(QStringLiteral("--encoder-log needs a file name"));
     }},
    {{"report"}, "FILE",
     "Write the quality report (bits and PSNR of every picture, and a summary) to FILE: JSON for a name ending "
     "in .json, CSV for .csv.",
     Use::Transcode, [](CliOptions &o, const QString &v) { return o.readReport(v); }},
    {{"qp"}, "LIST",
     "Encode once per QP of the comma-separated LIST, the encoder given -q QP: OUTPUT_QP<n> with its report "
     "beside it (OUTPUT_QP<n>.json, or --report's name with _QP<n>).",
     Use::Transcode, [](CliOptions &o, const QString &v) { return o.readQps(v); }},
    {{"experiment"}, "PLAN",
     "Run the coding experiment the JSON file PLAN describes: every sequence with every configuration at every "
     "QP, shared with every process that runs the same command on the same folder; then the table of BD-rates "
     "and time ratios against the anchor.",
     Use::Experiment,
     [](CliOptions &o, const QString &v) {
         o.planFile = v;
         return !v.isEmpty() || o.fail(QStringLiteral("--experiment needs the plan's file name"));
     }},
    {{"results"}, "", "--experiment: write the results from the cells done so far, and encode nothing.",
     Use::Experiment, [](CliOptions &o, const QString &) { o.onlyResults = true; return true; }},
    {{"anchor"}, "NAME",
     "--experiment: also write the tables against the plan's configuration NAME, into "
     "results_vs_NAME.md, .csv and .json beside the plan's own results files.",
     Use::Experiment,
     [](CliOptions &o, const QString &v) {
         o.referenceName = v;
         return !v.isEmpty() || o.fail(QStringLiteral("--anchor needs the name of one of the plan's configurations"));
     }},
};

const QList<CliOptions::Option> &CliOptions::table()
{
    return options;
}

bool CliOptions::parse(const QStringList &arguments)
{
    // The two lists of --bd-rate are told apart by their place on the command line, which
    // QCommandLineParser does not keep.
    if (arguments.contains(QStringLiteral("--bd-rate")))
        return parseBdRate(arguments);

    QCommandLineParser parser;
    parser.setApplicationDescription(description);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    for (const Option &option : table())
        parser.addOption(option.option());
    parser.addPositionalArgument(QStringLiteral("INPUT"),
                                 QStringLiteral("The video to transcode, or a raw .yuv file."));
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    help = parser.helpText();
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        chosenAction = ShowHelp;
        return true;
    }
    if (parser.isSet(versionOption)) {
        chosenAction = ShowVersion;
        return true;
    }
    const bool join = parser.isSet(QStringLiteral("join"));
    const bool experiment = parser.isSet(QStringLiteral("experiment"));
    const int mode = join ? Use::Join : experiment ? Use::Experiment : Use::Transcode;
    QStringList given;
    for (const Option &option : table()) {
        if (!parser.isSet(option.name()))
            continue;
        given << option.name();
        // An option given twice would have its first value dropped without a word.
        const QStringList values = parser.values(option.name());
        if (!option.value.isEmpty() && values.size() > 1)
            return fail(QStringLiteral("--%1 is given %2 times (%3); give it once")
                            .arg(option.name()).arg(values.size()).arg(values.join(QStringLiteral(", "))));
        if (!(option.use & mode))
            return fail(misplaced(option.name(), option.use, mode));
    }
    for (const Option &option : table())
        if (parser.isSet(option.name()) && !option.take(*this, parser.value(option.name())))
            return false;
    if (join)
        return finishJoin(parser.positionalArguments());
    return experiment ? finishExperiment(parser.positionalArguments(), given)
                      : finishTranscode(parser.positionalArguments(), given);
}

bool CliOptions::finishExperiment(const QStringList &positional, const QStringList &given)
{
    if (!positional.isEmpty())
        return fail(QStringLiteral("--experiment takes no input (%1 given): the plan names the sequences")
                        .arg(positional.join(QStringLiteral(", "))));
    if (!given.contains(QLatin1String("jobs")))
        jobSettings.parallelEncoders = 1;
    if (!given.contains(QLatin1String("progress")))
        progressStyle = quietRun ? ProgressNone : ProgressText;
    chosenAction = Experiment;
    return true;
}

bool CliOptions::finishJoin(const QStringList &positional)
{
    if (joinTarget.isEmpty())
        return fail(QStringLiteral("--join needs the name of the output file"));
    if (positional.isEmpty())
        return fail(QStringLiteral("--join needs the segments to join"));
    if (positional.contains(QString()))
        return fail(QStringLiteral("--join was given an empty segment name"));
    chosenAction = Join;
    segmentPaths = positional;
    return true;
}

// The defaults the window would fill in, and what depends on the input being raw or decoded.
bool CliOptions::finishTranscode(const QStringList &positional, const QStringList &given)
{
    // The encoder's standard error goes where its standard output goes.
    if (!encoderLogPath.isEmpty())
        jobSettings.encoderErrors = QFileInfo(encoderLogPath).absoluteFilePath();
    else if (quietRun)
        jobSettings.encoderErrors = QProcess::nullDevice();
    if (positional.isEmpty())
        return fail(QStringLiteral("no input given"));
    if (overlapTask) {
        if (jobSettings.pictureLimit < 0)
            return fail(QStringLiteral("--overlap goes with --frames: the task's share of the input"));
        // The next task's first picture, and the whole input around the share for a filter.
        ++jobSettings.pictureLimit;
        jobSettings.contextFirst = 0;
        jobSettings.contextEnd = -1;
    }
    if (positional.size() > 1)
        return fail(QStringLiteral("one input at a time (%1 given)").arg(positional.size()));
    jobSettings.input = positional.first();
    if (!given.contains(QLatin1String("progress")))
        progressStyle = quietRun ? ProgressNone : ProgressText;

    // The window's settings store, read only: the last raw size is the window's to keep.
    const SettingsStore store;
    if (!given.contains(QLatin1String("output")))
        jobSettings.output = InputNaming::proposeOutputPath(jobSettings.input);
    if (!given.contains(QLatin1String("cfg")))
        jobSettings.config = programFile(store, SettingsStore::configFile, SettingsStore::defaultConfig);
    if (!given.contains(QLatin1String("encoder")))
        jobSettings.encoder = programFile(store, SettingsStore::encoderProgram, SettingsStore::defaultEncoder);
    if (jobSettings.output.isEmpty() || jobSettings.config.isEmpty() || jobSettings.encoder.isEmpty())
        return fail(QStringLiteral("an empty file name was given"));

    if (InputNaming::isRawYuvPath(jobSettings.input)) {
        return readRawGeometry(rawSize, rawRate, store.value(SettingsStore::rawWidth).toInt(),
                               store.value(SettingsStore::rawHeight).toInt());
    }
    if (given.contains(QLatin1String("size")) || given.contains(QLatin1String("fps")))
        return fail(QStringLiteral("--size and --fps apply to raw .yuv inputs only"));
    return true;
}

bool CliOptions::readJobs(const QString &value)
{
    qint64 count = 0;
    if (value == QLatin1String("auto"))
        count = qMax(1, QThread::idealThreadCount());
    else if (!readCount(value, 1, &count) || count > 1024)
        return fail(QStringLiteral("--jobs takes a number of encoders from 1 to 1024, or auto, not \"%1\"").arg(value));
    jobSettings.parallelEncoders = int(count);
    // Asked for, even one at a time: the job is kept in segments that other processes on
    // the same job, on this machine or another, can share.
    jobSettings.inSegments = true;
    return true;
}

bool CliOptions::readProgressStyle(const QString &style)
{
    if (style == QLatin1String("text"))
        progressStyle = ProgressText;
    else if (style == QLatin1String("json"))
        progressStyle = ProgressJson;
    else if (style == QLatin1String("none"))
        progressStyle = ProgressNone;
    else
        return fail(QStringLiteral("--progress is text, json or none, not \"%1\"").arg(style));
    return true;
}

bool CliOptions::readReport(const QString &report)
{
    if (!QualityReport::isReportFileName(report))
        return fail(QStringLiteral("--report writes a .json or a .csv file, not \"%1\"").arg(report));
    reportFile = report;
    return true;
}

bool CliOptions::readQps(const QString &qpList)
{
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,2}$"));
    for (const QString &item : qpList.split(QLatin1Char(','))) {
        const QString value = item.trimmed();
        if (!number.match(value).hasMatch() || value.toInt() > 51)
            return fail(QStringLiteral("--qp takes QPs from 0 to 51 separated by commas, not \"%1\"").arg(qpList));
        if (qps.contains(value.toInt()))
            return fail(QStringLiteral("--qp names QP %1 twice").arg(value));
        qps << value.toInt();
    }
    return true;
}

QString CliOptions::qpFileName(const QString &path, int qp)
{
    const int slash = int(path.lastIndexOf(QLatin1Char('/')));
    const int dot = int(path.lastIndexOf(QLatin1Char('.')));
    const QString tag = QStringLiteral("_QP%1").arg(qp);
    // A dot that starts the name (".265") or sits in a folder's name is no suffix.
    if (dot <= slash + 1)
        return path + tag;
    return path.left(dot) + tag + path.mid(dot);
}

CliOptions CliOptions::sweepPoint(int qp) const
{
    CliOptions point = *this;
    point.qps.clear();
    point.sweepPointRun = true;
    point.jobSettings.qp = qp;
    point.jobSettings.output = qpFileName(jobSettings.output, qp);
    if (!reportFile.isEmpty()) {
        point.reportFile = qpFileName(reportFile, qp);
    } else {
        const QString output = point.jobSettings.output;
        const int slash = int(output.lastIndexOf(QLatin1Char('/')));
        const int dot = int(output.lastIndexOf(QLatin1Char('.')));
        point.reportFile = (dot > slash + 1 ? output.left(dot) : output) + QStringLiteral(".json");
    }
    return point;
}

bool CliOptions::parseBdRate(const QStringList &arguments)
{
    chosenAction = BdRate;
    progressStyle = ProgressText;
    enum { Before, Anchors, Tests } list = Before;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--bd-rate")) {
            if (list != Before)
                return fail(QStringLiteral("--bd-rate is given twice"));
            list = Anchors;
        } else if (argument == QLatin1String("--vs")) {
            if (list != Anchors)
                return fail(QStringLiteral("--vs comes once, after the anchor reports of --bd-rate"));
            list = Tests;
        } else if (argument == QLatin1String("-q") || argument == QLatin1String("--quiet")) {
            quietRun = true;
        } else if (argument == QLatin1String("--progress") || argument.startsWith(QLatin1String("--progress="))) {
            const bool joined = argument.contains(QLatin1Char('='));
            if (!joined && ++i >= arguments.size())
                return fail(QStringLiteral("--progress needs a value"));
            if (!readProgressStyle(joined ? argument.section(QLatin1Char('='), 1) : arguments.at(i)))
                return false;
        } else if (argument == QLatin1String("--yuv-weights") || argument.startsWith(QLatin1String("--yuv-weights="))) {
            const bool joined = argument.contains(QLatin1Char('='));
            if (!joined && ++i >= arguments.size())
                return fail(QStringLiteral("--yuv-weights needs a value, as 6:1:1"));
            QString error;
            if (!YuvWeights::parse(joined ? argument.section(QLatin1Char('='), 1) : arguments.at(i), &bdWeights, &error))
                return fail(QStringLiteral("--yuv-weights: ") + error);
        } else if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            return fail(QStringLiteral("--bd-rate takes no %1").arg(argument));
        } else if (list == Anchors) {
            anchors << argument;
        } else if (list == Tests) {
            tests << argument;
        } else {
            return fail(QStringLiteral("%1 comes before --bd-rate").arg(argument));
        }
    }
    if (list != Tests)
        return fail(QStringLiteral("--bd-rate needs --vs and the test reports after the anchor reports"));
    if (anchors.size() < BdRate::minimumPoints || tests.size() < BdRate::minimumPoints)
        return fail(QStringLiteral("--bd-rate needs at least %1 anchor reports and %1 test reports (%2 and %3 "
                                   "given)").arg(BdRate::minimumPoints).arg(anchors.size()).arg(tests.size()));
    return true;
}

bool CliOptions::readRawGeometry(const QString &size, const QString &rate, int prevWidth, int prevHeight)
{
    int width = 0;
    int height = 0;
    if (!size.isEmpty()) {
        static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,5})x([0-9]{1,5})$"));
        const QRegularExpressionMatch match = pattern.match(size);
        if (match.hasMatch()) {
            width = match.captured(1).toInt();
            height = match.captured(2).toInt();
        }
        if (width <= 0 || height <= 0)
            return fail(QStringLiteral("--size takes WIDTHxHEIGHT, not \"%1\"").arg(size));
    } else {
        const InputNaming::YuvGuess guess =
            InputNaming::guessYuvSettings(jobSettings.input, prevWidth, prevHeight);
        width = guess.width.toInt();
        height = guess.height.toInt();
        if (width <= 0 || height <= 0)
            return fail(QStringLiteral("the picture size of the raw input %1 is unknown: give --size "
                                       "WIDTHxHEIGHT").arg(jobSettings.input));
    }
    jobSettings.rawWidth = width;
    jobSettings.rawHeight = height;
    if (!rate.isEmpty()) {
        qint64 value = 0;
        if (!readCount(rate, 1, &value) || value > 1000)
            return fail(QStringLiteral("--fps takes a whole number of pictures per second, not \"%1\"")
                            .arg(rate));
        jobSettings.rawFps = int(value);
    }
    return true;
}
