#ifndef TINYEXPERIMENT_H
#define TINYEXPERIMENT_H

// The tiny experiment the experiment suites run: a video and a raw sequence of 16 pictures, an
// anchor and a test configuration of the bundled encoder, four QPs, the encoder behind a wrapper
// that records every encode and injects faults on request; and the helpers that read what a run
// left behind.

#include "testsupport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace TinyExperiment {

using TestSupport::IsolatedEnvironment;

inline constexpr int pictures = 16;
inline const QStringList sequenceNames{"Clip", "Raw"};
inline const QStringList configurationNames{"anchor", "test"};
inline const QList<int> qps{22, 27, 32, 37};

inline QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

// The bundled encoder behind a wrapper that records the bitstream of every run ("host path") and
// the process that started it (parents.txt), waits a little when asked (a file "slow"), fails
// the test configuration's Raw QP27 cell while a file "fail" is there, and while a file "cut" is
// there drops the last access unit of the test configuration's Clip QP27 bitstream (with the
// ffmpeg tool), exiting 0.
inline QByteArray wrapperScript()
{
    const QByteArray encoder = "\"" + QFile::encodeName(TestSupport::binDir()) + "/morlunex-hevc-encoder\"";
    return "#!/bin/sh\n"
           "dir=$(dirname \"$0\")\n"
           "for a in \"$@\"; do case $a in *.265*) echo \"$(hostname) $a\" >> \"$dir/runs.txt\";; esac; done\n"
           "echo \"$PPID\" >> \"$dir/parents.txt\"\n"
           "[ -f \"$dir/slow\" ] && sleep 0.3\n"
           "case \"$*\" in *test/Raw_QP27*) [ -f \"$dir/fail\" ] && { echo 'bad cell'; exit 3; };; esac\n"
           "case \"$*\" in *test/Clip_QP27*) if [ -f \"$dir/cut\" ]; then\n"
           "  " + encoder + " \"$@\" || exit $?\n"
           "  for a in \"$@\"; do [ \"$previous\" = -b ] && out=$a; previous=$a; done\n"
           "  ffmpeg -v error -y -i \"$out\" -c copy -frames:v 15 -f hevc \"$out.cut\" && mv \"$out.cut\" \"$out\"\n"
           "  exit $?\n"
           "fi;; esac\n"
           "exec " + encoder + " \"$@\"\n";
}

inline QJsonObject basePlan(const QString &encoder)
{
    const QJsonArray sequences{
        QJsonObject{{"name", "Clip"}, {"path", "clip.mp4"}, {"class", "A"}},
        QJsonObject{{"name", "Raw"}, {"path", "raw_64x64.yuv"}, {"size", "64x64"}, {"fps", 25}, {"class", "A"},
                    {"cfg", QJsonArray{"# the raw sequence's own line"}}}};
    const QJsonArray configurations{
        QJsonObject{{"name", "anchor"}, {"anchor", true}, {"encoder", encoder}, {"cfg", "anchor.cfg"}},
        QJsonObject{{"name", "test"}, {"encoder", encoder}, {"cfg", "test.cfg"}}};
    return QJsonObject{{"sequences", sequences}, {"configurations", configurations}, {"qps", QJsonArray{22, 27, 32, 37}}};
}

inline bool writePlan(const QString &path, const QJsonObject &plan)
{
    return TestSupport::writeFile(path, QJsonDocument(plan).toJson());
}

// results.csv as rows of named fields.
inline QList<QHash<QString, QString>> readCsv(const QString &path)
{
    QList<QHash<QString, QString>> rows;
    const QList<QByteArray> lines = TestSupport::readFile(path).split('\n');
    const QStringList header = QString::fromUtf8(lines.value(0)).split(QLatin1Char(','));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty())
            continue;
        // Only the last field, the note, may hold a comma (and is then quoted).
        QStringList fields = QString::fromUtf8(lines.at(i)).split(QLatin1Char(','));
        const QStringList rest = fields.mid(header.size() - 1);
        fields = fields.mid(0, header.size() - 1) << rest.join(QLatin1Char(','));
        if (fields.last().startsWith(QLatin1Char('"')))
            fields.last() = fields.last().mid(1, fields.last().size() - 2).replace(QStringLiteral("\"\""), QStringLiteral("\""));
        QHash<QString, QString> row;
        for (int f = 0; f < header.size(); ++f)
            row.insert(header.at(f), fields.value(f));
        rows << row;
    }
    return rows;
}

inline QHash<QString, QString> csvRow(const QList<QHash<QString, QString>> &rows, const QString &kind, const QString &name)
{
    for (const auto &row : rows)
        if (row.value("row") == kind && (row.value("sequence") == name || row.value("class") == name || name.isEmpty()))
            return row;
    return {};
}

inline QJsonObject readJson(const QString &path)
{
    return QJsonDocument::fromJson(TestSupport::readFile(path)).object();
}

// How often each bitstream was encoded, by the runs the wrapper recorded: a cell's bitstream,
// or one of its segments (the process's own suffix dropped), by its path in the folder.
inline QHash<QString, int> encodes(const QString &folder, QSet<QString> *hosts = nullptr)
{
    QHash<QString, int> counts;
    static const QRegularExpression partial(QStringLiteral("\\.[^./]+\\.[0-9]+\\.partial$"));
    for (const QByteArray &line : TestSupport::readFile(folder + "/runs.txt").split('\n')) {
        const QString text = QString::fromUtf8(line);
        if (text.isEmpty())
            continue;
        if (hosts)
            *hosts << text.section(QLatin1Char(' '), 0, 0);
        QString path = text.section(QLatin1Char(' '), 1);
        path.remove(partial);
        ++counts[QDir(folder).relativeFilePath(path)];
    }
    return counts;
}

// The cells those runs encoded, by their bitstream's path without suffix ("tiny.results/test/Raw_QP27"),
// a cell in segments once.
inline QSet<QString> cellsOf(const QHash<QString, int> &runs)
{
    QSet<QString> cells;
    for (auto it = runs.cbegin(); it != runs.cend(); ++it)
        cells << it.key().left(it.key().indexOf(".265"));
    return cells;
}

// The JSON objects among a run's lines (--progress json).
inline QList<QJsonObject> jsonEvents(const QByteArray &err)
{
    QList<QJsonObject> events;
    for (const QByteArray &line : err.split('\n'))
        if (line.startsWith('{'))
            events << QJsonDocument::fromJson(line).object();
    return events;
}

// Waits for a process to end on its own; one that does not in time is killed.
inline bool endsWithin(QProcess *process, int ms)
{
    if (process->waitForFinished(ms))
        return process->exitStatus() == QProcess::NormalExit;
    process->kill();
    process->waitForFinished(5000);
    return false;
}

// The tiny plan in `folder` run to its end by one process with two encoders (and `more`).
inline TestSupport::RunResult runTiny(const QString &folder, const QStringList &more = {})
{
    return TestSupport::run(cliProgram(), QStringList{"--experiment", "tiny.json", "-j", "2"} + more, 120000, folder);
}

inline int doneRecords(const QString &results)
{
    int done = 0;
    for (const QString &configuration : configurationNames)
        for (const QString &name : QDir(results + "/" + configuration).entryList({"*.record"}, QDir::Files))
            done += readJson(results + "/" + configuration + "/" + name).value("state").toString() == "done" ? 1 : 0;
    return done;
}

// The experiment in `folder` started with two encoders and `options`; true once `done` of its
// cells have a finished record.
inline bool startUntilDone(QProcess *cli, const QString &folder, const QStringList &options, int done)
{
    cli->setWorkingDirectory(folder);
    cli->start(cliProgram(), QStringList{"--experiment", "tiny.json", "-j", "2"} + options);
    return cli->waitForStarted(10000)
        && QTest::qWaitFor([&] { return doneRecords(folder + "/tiny.results") >= done; }, 60000);
}

// The experiment in `folder` run by two processes at once with `encoders` each, one of them
// under another host name; true when both end with 0.
inline bool runHereAndElsewhere(const QString &folder, const char *encoders)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MORLUNEX_CLAIM_TIMEOUT", "6");
    const QStringList arguments{"--experiment", "tiny.json", "-j", encoders, "-q"};
    QProcess here, away;
    for (QProcess *process : {&here, &away}) {
        process->setWorkingDirectory(folder);
        process->setProcessEnvironment(environment);
    }
    here.start(cliProgram(), arguments);
    away.start("unshare", QStringList{"--uts", "sh", "-c", "hostname elsewhere && exec \"$0\" \"$@\"", cliProgram()} + arguments);
    bool ended = true;
    for (QProcess *process : {&here, &away}) {
        if (!endsWithin(process, 120000) || process->exitCode() != 0) {
            qWarning("%s", process->readAllStandardError().constData());
            ended = false;
        }
    }
    return ended;
}

// The comparison row of `kind` ("sequence", "class", "overall") for the test configuration
// `configuration` and the sequence or class `name`.
inline QHash<QString, QString> comparisonRow(const QList<QHash<QString, QString>> &rows, const QString &kind,
                                      const QString &configuration, const QString &name)
{
    for (const auto &row : rows)
        if (row.value("row") == kind && row.value("configuration") == configuration
            && (row.value("sequence") == name || (kind != "sequence" && row.value("class") == name)))
            return row;
    return {};
}

// --bd-rate's figures (JSON) on the reports of one sequence, `reference` against `test`, each
// report first passed through `change` into the folder `copies` when it is given.
inline QJsonObject bdRateOf(const QString &results, const QString &sequence, const QString &reference, const QString &test,
                     const QStringList &more = {}, const std::function<QJsonObject(QJsonObject)> &change = {},
                     const QString &copies = QString())
{
    QStringList lists[2];
    for (int side = 0; side < 2; ++side)
        for (int qp : qps) {
            const QString configuration = side == 0 ? reference : test;
            QString path = QStringLiteral("%1/%2/%3_QP%4.json").arg(results, configuration, sequence).arg(qp);
            if (change) {
                const QString copy = QStringLiteral("%1/%2_%3_QP%4.json").arg(copies, configuration, sequence).arg(qp);
                if (!TestSupport::writeFile(copy, QJsonDocument(change(readJson(path))).toJson()))
                    return {};
                path = copy;
            }
            lists[side] << path;
        }
    const TestSupport::RunResult bd = TestSupport::run(
        cliProgram(), QStringList{"--progress", "json"} + more + QStringList{"--bd-rate"} + lists[0]
                          + QStringList{"--vs"} + lists[1]);
    if (bd.exitCode != 0)
        qWarning("%s", bd.err.constData());
    return QJsonDocument::fromJson(bd.out).object();
}

// Sets a figure of a report's summary (removes it when value is undefined).
inline bool setSummary(const QString &path, const QString &key, const QJsonValue &value)
{
    QJsonObject report = readJson(path);
    QJsonObject summary = report.value("summary").toObject();
    if (value.isUndefined())
        summary.remove(key);
    else
        summary.insert(key, value);
    report.insert("summary", summary);
    return TestSupport::writeFile(path, QJsonDocument(report).toJson());
}

inline double summaryFigure(const QString &path, const QString &key)
{
    return readJson(path).value("summary").toObject().value(key).toDouble();
}

// The tiny plan as second.json in `folder`, its anchor's cells those of tiny.results/anchor.
inline bool writeSecondPlan(const QString &folder)
{
    QJsonObject plan = basePlan(folder + "/wrapper.sh");
    QJsonArray configurations = plan.value("configurations").toArray();
    QJsonObject anchor = configurations.at(0).toObject();
    anchor["cells"] = "tiny.results/anchor";
    configurations[0] = anchor;
    plan["configurations"] = configurations;
    return writePlan(folder + "/second.json", plan);
}

// The rows of results.csv with their BD-rates, rates and PSNRs, without the times, which move
// from run to run.
inline QStringList figuresOf(const QString &path)
{
    QStringList rows;
    for (const auto &row : readCsv(path)) {
        QStringList fields;
        for (const char *key : {"row", "class", "sequence", "configuration", "qp", "bd_rate_y", "bd_rate_u",
                                "bd_rate_v", "bd_rate_yuv", "sequences", "rate_kbps", "psnr_y", "psnr_u", "psnr_v",
                                "psnr_yuv", "state"})
            fields << row.value(QLatin1String(key));
        rows << fields.join(QLatin1Char(','));
    }
    return rows;
}

// Every entry of a folder with the hash of its contents (folders with none), and its time.
inline QStringList fingerprint(const QString &folder)
{
    QStringList entries;
    for (const QString &entry : TestSupport::everythingIn(folder)) {
        const QFileInfo info(folder + "/" + entry);
        const QByteArray hash = info.isFile() ? QCryptographicHash::hash(TestSupport::readFile(info.filePath()),
                                                                          QCryptographicHash::Sha256).toHex()
                                              : QByteArray();
        entries << entry + " " + QString::fromLatin1(hash) + " " + QString::number(info.lastModified().toMSecsSinceEpoch());
    }
    return entries;
}


// The clip, the raw sequence and the two configurations every tiny plan copies.
inline bool makeShared(const IsolatedEnvironment &shared)
{
    if (!(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25", "-frames:v",
                                 QString::number(pictures), "-c:v", "libx264", "-pix_fmt", "yuv420p",
                                 shared.filePath("clip.mp4")})))
        return false;
    if (!(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x64:rate=25", "-frames:v",
                                 QString::number(pictures), "-pix_fmt", "yuv420p", "-f", "rawvideo",
                                 shared.filePath("raw_64x64.yuv")})))
        return false;
    const QByteArray bundled = TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg");
    if (!(!bundled.isEmpty()))
        return false;
    if (!(TestSupport::writeFile(shared.filePath("anchor.cfg"), bundled + "MlxPreset : ultrafast\n")))
        return false;
    if (!(TestSupport::writeFile(shared.filePath("test.cfg"),
                                   bundled + "MlxPreset : ultrafast\nMlxX265Params : rd=1:psy-rd=0\n")))
        return false;
    return true;
}

// The tiny plan in the test's folder, with the wrapper's marker files ("slow", "fail", "cut").
inline QString prepare(const IsolatedEnvironment &shared, IsolatedEnvironment &env, const QStringList &markers = {})
{
    const QString folder = env.path();
    for (const QString &marker : markers)
        if (!TestSupport::writeFile(folder + "/" + marker, ""))
            return QString();
    for (const char *name : {"clip.mp4", "raw_64x64.yuv", "anchor.cfg", "test.cfg"})
        if (!QFile::copy(shared.filePath(QLatin1String(name)), folder + "/" + QLatin1String(name)))
            return QString();
    if (!TestSupport::writeScript(folder + "/wrapper.sh", wrapperScript())
        || !writePlan(folder + "/tiny.json", basePlan(folder + "/wrapper.sh")))
        return QString();
    return folder;
}

} // namespace TinyExperiment

#endif // TINYEXPERIMENT_H
