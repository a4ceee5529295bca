#include "experimentplan.h"

#include "codecs/codecs.h"
#include "decode/picturecount.h"
#include "feed/rawfeed.h"
#include "files/filecheck.h"
#include "job/inputnaming.h"
#include "jobtypes/encoderconfigfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>

#include <sysexits.h>

namespace {

const QStringList topKeys{"sequences", "configurations", "qps", "folder", "yuv_weights"};
const QStringList sequenceKeys{"name", "path", "class", "frames", "cfg", "size", "fps"};
const QStringList configurationKeys{"name", "anchor", "encoder", "cfg", "decoder", "cells"};

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// A JSON value as the user wrote it, for a message.
QString shown(const QJsonValue &value)
{
    if (value.isString())
        return quoted(value.toString());
    if (value.isDouble())
        return QString::number(value.toDouble());
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isNull())
        return QStringLiteral("null");
    return value.isArray() ? QStringLiteral("a list") : QStringLiteral("an object");
}

// A whole number within the bounds; false for any other value (a string, a fraction).
bool wholeNumber(const QJsonValue &value, qint64 lowest, qint64 highest, qint64 *number)
{
    if (!value.isDouble())
        return false;
    const double x = value.toDouble();
    if (x != std::floor(x) || x < double(lowest) || x > double(highest))
        return false;
    *number = qint64(x);
    return true;
}

// A name that becomes part of file names: no folder separator, no hidden or relative name, no
// control characters.
QString nameProblem(const QString &name)
{
    static const QRegularExpression control(QStringLiteral("[\\x00-\\x1f\\x7f/\\\\]"));
    if (name.trimmed().isEmpty())
        return QStringLiteral("the name is empty");
    if (name.startsWith(QLatin1Char('.')) || name.contains(control) || name.size() > 120)
        return QStringLiteral("the name %1 cannot be part of a file name (no /, no control characters, no "
                              "leading dot, at most 120 characters)").arg(quoted(name));
    return QString();
}

} // namespace

bool ExperimentPlan::fail(int status, const QString &where, const QString &text)
{
    failure = status;
    problem = where.isEmpty() ? QStringLiteral("%1: %2").arg(planFile, text)
                              : QStringLiteral("%1: %2: %3").arg(planFile, where, text);
    return false;
}

QString ExperimentPlan::name() const
{
    return QFileInfo(planFile).completeBaseName();
}

bool ExperimentPlan::reservedName(const QString &name)
{
    static const QStringList reserved{"results.csv", "results.json", "results.md", "results.claim", "results.served", "plots",
                                      "experiment.record"};
    // results_vs_<configuration>.md and its kin: the tables against another configuration.
    static const QRegularExpression comparison(QStringLiteral("^results_vs_.*\\.(csv|json|md)$"));
    return reserved.contains(name) || comparison.match(name).hasMatch();
}

QString ExperimentPlan::resolved(const QString &path) const
{
    return QFileInfo(QFileInfo(planFile).absoluteDir(), path).absoluteFilePath();
}

// A program as the plan names it: a path (relative to the plan), a file beside the plan, else
// a bare name looked up in PATH, as a shell would.
QString ExperimentPlan::program(const QString &name) const
{
    if (name.contains(QLatin1Char('/')) || QFileInfo::exists(resolved(name)))
        return resolved(name);
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? resolved(name) : found;
}

bool ExperimentPlan::read(const QString &path, Use use)
{
    planFile = path;
    purpose = use;
    const QString reason = FileCheck::regularFileProblem(path);
    QFile file(path);
    if (!reason.isEmpty() || !file.open(QIODevice::ReadOnly))
        return fail(EX_NOINPUT, QString(), QStringLiteral("cannot read the plan: %1")
                                               .arg(reason.isEmpty() ? file.errorString() : reason));
    const QByteArray text = file.readAll();
    QJsonParseError parsed;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parsed);
    if (parsed.error != QJsonParseError::NoError)
        return fail(EX_USAGE, QString(), QStringLiteral("not a JSON plan: %1 at line %2")
                                             .arg(parsed.errorString()).arg(text.left(parsed.offset).count('\n') + 1));
    if (!document.isObject())
        return fail(EX_USAGE, QString(), QStringLiteral("a plan is one JSON object"));
    const QJsonObject top = document.object();
    for (auto it = top.begin(); it != top.end(); ++it)
        if (!topKeys.contains(it.key()))
            return fail(EX_USAGE, QString(), QStringLiteral("unknown key %1 (a plan has %2)")
                                                 .arg(quoted(it.key()), topKeys.join(QStringLiteral(", "))));
    for (const char *key : {"sequences", "configurations", "qps"})
        if (!top.contains(QLatin1String(key)))
            return fail(EX_USAGE, QString(), QStringLiteral("the key %1 is missing").arg(quoted(QLatin1String(key))));
    return readQps(top.value(QStringLiteral("qps"))) && readSequences(top.value(QStringLiteral("sequences")))
           && readConfigurations(top.value(QStringLiteral("configurations"))) && checkRawPictures()
           && countVideoPictures()
           && readFolder(top.value(QStringLiteral("folder"))) && readYuvWeights(top.value(QStringLiteral("yuv_weights")));
}

bool ExperimentPlan::readQps(const QJsonValue &value)
{
    if (!value.isArray())
        return fail(EX_USAGE, QStringLiteral("qps"), QStringLiteral("a list of QPs is wanted, not %1").arg(shown(value)));
    const QJsonArray list = value.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString where = QStringLiteral("qps[%1]").arg(i);
        qint64 qp = 0;
        if (!wholeNumber(list.at(i), 0, 51, &qp))
            return fail(EX_USAGE, where, QStringLiteral("%1 is not a QP (a whole number from 0 to 51)").arg(shown(list.at(i))));
        if (qpList.contains(int(qp)))
            return fail(EX_USAGE, where, QStringLiteral("QP %1 is given twice").arg(qp));
        qpList << int(qp);
    }
    if (qpList.size() < 4)
        return fail(EX_USAGE, QStringLiteral("qps"), QStringLiteral("%1 QP%2 given; BD-rate needs at least 4")
                                                          .arg(qpList.size()).arg(qpList.size() == 1 ? "" : "s"));
    std::sort(qpList.begin(), qpList.end());
    return true;
}

bool ExperimentPlan::readFolder(const QJsonValue &value)
{
    if (value.isUndefined()) {
        resultsFolder = resolved(name() + QStringLiteral(".results"));
        return true;
    }
    if (!value.isString() || value.toString().isEmpty())
        return fail(EX_USAGE, QStringLiteral("folder"), QStringLiteral("a folder's name is wanted, not %1").arg(shown(value)));
    resultsFolder = QDir::cleanPath(resolved(value.toString()));
    return true;
}

bool ExperimentPlan::readYuvWeights(const QJsonValue &value)
{
    if (value.isUndefined())
        return true;
    const QJsonArray list = value.toArray();
    // What is wrong with the value: no list, a list of another length, or an entry that is no
    // number ("6" is a string).
    QString wrong;
    if (!value.isArray())
        wrong = QStringLiteral("not %1").arg(shown(value));
    else if (list.size() != 3)
        wrong = QStringLiteral("not a list of %1").arg(list.size() == 1 ? QStringLiteral("one entry")
                                                                        : QStringLiteral("%1 entries").arg(list.size()));
    for (qsizetype i = 0; wrong.isEmpty() && i < list.size(); ++i)
        if (!list.at(i).isDouble())
            wrong = QStringLiteral("its entry %1 is %2, not a number").arg(i).arg(shown(list.at(i)));
    if (!wrong.isEmpty())
        return fail(EX_USAGE, QStringLiteral("yuv_weights"),
                    QStringLiteral("the weights of Y, U and V are a list of three numbers, as [6, 1, 1], %1")
                        .arg(wrong));
    const QString problem = YuvWeights::problem(list.at(0).toDouble(), list.at(1).toDouble(), list.at(2).toDouble());
    if (!problem.isEmpty())
        return fail(EX_USAGE, QStringLiteral("yuv_weights"), QStringLiteral("the weights of Y, U and V have ") + problem);
    weights = YuvWeights{list.at(0).toDouble(), list.at(1).toDouble(), list.at(2).toDouble()};
    return true;
}

bool ExperimentPlan::checkNames(const QStringList &names, const QString &list)
{
    for (int i = 0; i < names.size(); ++i) {
        const int first = int(names.indexOf(names.at(i)));
        if (first != i)
            return fail(EX_USAGE, QStringLiteral("%1[%2]").arg(list).arg(i),
                        QStringLiteral("the name %1 is also %2[%3]'s").arg(quoted(names.at(i)), list).arg(first));
    }
    return true;
}

// A file read whole: a named pipe or a device would keep the experiment waiting, or reading, for
// ever.
bool ExperimentPlan::checkReadable(const QString &path, const QString &where, const QString &key)
{
    const QString reason = FileCheck::regularFileProblem(path);
    if (reason.isEmpty())
        return true;
    return fail(EX_NOINPUT, where, QStringLiteral("cannot read the %1 %2: %3").arg(key, path, reason));
}

bool ExperimentPlan::checkProgram(const QString &path, const QString &where, const QString &key)
{
    const bool missing = !QFileInfo::exists(path);
    const QString reason = missing ? QString() : FileCheck::runProblem(path);
    if (!missing && reason.isEmpty())
        return true;
    const QString text = missing ? QStringLiteral("the %1 %2 does not exist").arg(key, path)
                                 : QStringLiteral("cannot run the %1 %2: %3").arg(key, path, reason);
    if (purpose == ToFollow) {
        if (unrunnable.isEmpty())
            unrunnable = QStringLiteral("%1: %2").arg(where, text);
        return true;
    }
    return fail(EX_UNAVAILABLE, where, text);
}

bool ExperimentPlan::entry(const QJsonArray &list, qsizetype i, const QString &key, const QString &noun,
                           QJsonObject *object, QString *where)
{
    *where = QStringLiteral("%1[%2]").arg(key).arg(i);
    if (!list.at(i).isObject())
        return fail(EX_USAGE, *where, QStringLiteral("%1 is an object, not %2").arg(noun, shown(list.at(i))));
    *object = list.at(i).toObject();
    if (object->value(QStringLiteral("name")).isString())
        *where += QLatin1Char(' ') + quoted(object->value(QStringLiteral("name")).toString());
    return true;
}

bool ExperimentPlan::readSequences(const QJsonValue &value)
{
    if (!value.isArray() || value.toArray().isEmpty())
        return fail(EX_USAGE, QStringLiteral("sequences"),
                    QStringLiteral("a list of one or more sequences is wanted, not %1")
                        .arg(value.isArray() ? QStringLiteral("an empty list") : shown(value)));
    const QJsonArray list = value.toArray();
    QStringList names;
    for (qsizetype i = 0; i < list.size(); ++i) {
        QJsonObject object;
        QString where;
        if (!entry(list, i, QStringLiteral("sequences"), QStringLiteral("a sequence"), &object, &where))
            return false;
        PlanSequence sequence;
        if (!readSequence(object, where, &sequence))
            return false;
        names << sequence.name;
        sequenceList << sequence;
    }
    return checkNames(names, QStringLiteral("sequences"));
}

bool ExperimentPlan::readSequence(const QJsonObject &object, const QString &where, PlanSequence *sequence)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!sequenceKeys.contains(it.key()))
            return fail(EX_USAGE, where, QStringLiteral("unknown key %1 (a sequence has %2)")
                                             .arg(quoted(it.key()), sequenceKeys.join(QStringLiteral(", "))));
    const QJsonValue name = object.value(QStringLiteral("name"));
    const QJsonValue path = object.value(QStringLiteral("path"));
    if (!name.isString())
        return fail(EX_USAGE, where, QStringLiteral("\"name\" is missing or not a string"));
    if (!path.isString() || path.toString().isEmpty())
        return fail(EX_USAGE, where, QStringLiteral("\"path\" is missing or not a file name"));
    sequence->name = name.toString();
    const QString unfit = nameProblem(sequence->name);
    if (!unfit.isEmpty())
        return fail(EX_USAGE, where, unfit);
    sequence->path = resolved(path.toString());
    const QJsonValue className = object.value(QStringLiteral("class"));
    if (!className.isUndefined() && !className.isString())
        return fail(EX_USAGE, where, QStringLiteral("\"class\" is a name, not %1").arg(shown(className)));
    sequence->className = className.toString();
    const QJsonValue frames = object.value(QStringLiteral("frames"));
    if (!frames.isUndefined() && !wholeNumber(frames, 1, qint64(1) << 40, &sequence->frames))
        return fail(EX_USAGE, where, QStringLiteral("\"frames\" is a count of 1 or more, not %1").arg(shown(frames)));
    if (!readRawGeometry(object, where, sequence) || !checkReadable(sequence->path, where, QStringLiteral("path")))
        return false;
    return readSequenceCfg(object.value(QStringLiteral("cfg")), where, sequence);
}

// A raw .yuv file needs its picture size and rate; its depth and chroma format come from the
// configuration, as for any raw input.
bool ExperimentPlan::readRawGeometry(const QJsonObject &object, const QString &where, PlanSequence *sequence)
{
    const QJsonValue size = object.value(QStringLiteral("size"));
    const QJsonValue fps = object.value(QStringLiteral("fps"));
    if (!InputNaming::isRawYuvPath(sequence->path)) {
        if (!size.isUndefined() || !fps.isUndefined())
            return fail(EX_USAGE, where, QStringLiteral("\"size\" and \"fps\" belong to raw .yuv files only"));
        return true;
    }
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,5})x([0-9]{1,5})$"));
    const QRegularExpressionMatch match = pattern.match(size.toString());
    if (!size.isString() || !match.hasMatch() || match.captured(1).toInt() <= 0 || match.captured(2).toInt() <= 0)
        return fail(EX_USAGE, where, QStringLiteral("a raw .yuv file needs \"size\": \"WIDTHxHEIGHT\"%1")
                                         .arg(size.isUndefined() ? QString() : QStringLiteral(", not ") + shown(size)));
    qint64 rate = 0;
    if (!wholeNumber(fps, 1, 1000, &rate))
        return fail(EX_USAGE, where, QStringLiteral("a raw .yuv file needs \"fps\", a whole number of pictures per "
                                                    "second%1")
                                         .arg(fps.isUndefined() ? QString() : QStringLiteral(", not ") + shown(fps)));
    sequence->rawWidth = match.captured(1).toInt();
    sequence->rawHeight = match.captured(2).toInt();
    sequence->fps = int(rate);
    return true;
}

// The sequence's own configuration: a file (as the standard tests keep one a sequence), or its
// lines listed in the plan.
bool ExperimentPlan::readSequenceCfg(const QJsonValue &value, const QString &where, PlanSequence *sequence)
{
    if (value.isUndefined())
        return true;
    if (value.isString()) {
        sequence->cfgFile = resolved(value.toString());
        return checkReadable(sequence->cfgFile, where, QStringLiteral("cfg"));
    }
    if (value.isArray()) {
        for (const QJsonValue &line : value.toArray()) {
            if (!line.isString() || line.toString().contains(QLatin1Char('\n')))
                return fail(EX_USAGE, where, QStringLiteral("\"cfg\" lists configuration lines as strings, not %1")
                                                 .arg(shown(line)));
            sequence->cfgLines += line.toString().toUtf8() + '\n';
        }
        return true;
    }
    return fail(EX_USAGE, where, QStringLiteral("\"cfg\" is a configuration file or a list of lines, not %1").arg(shown(value)));
}

bool ExperimentPlan::readConfigurations(const QJsonValue &value)
{
    if (!value.isArray() || value.toArray().size() < 2)
        return fail(EX_USAGE, QStringLiteral("configurations"),
                    QStringLiteral("an anchor and at least one test configuration are wanted"));
    const QJsonArray list = value.toArray();
    QStringList names;
    QList<int> anchors;
    for (qsizetype i = 0; i < list.size(); ++i) {
        QJsonObject object;
        QString where;
        if (!entry(list, i, QStringLiteral("configurations"), QStringLiteral("a configuration"), &object, &where))
            return false;
        PlanConfiguration configuration;
        if (!readConfiguration(object, where, &configuration))
            return false;
        if (configuration.anchor)
            anchors << int(i);
        names << configuration.name;
        configurationList << configuration;
    }
    if (!checkNames(names, QStringLiteral("configurations")))
        return false;
    if (anchors.isEmpty())
        return fail(EX_USAGE, QStringLiteral("configurations"), QStringLiteral("no configuration has \"anchor\": true"));
    if (anchors.size() > 1)
        return fail(EX_USAGE, QStringLiteral("configurations"),
                    QStringLiteral("%1 and %2 are both anchors; a plan has exactly one anchor")
                        .arg(quoted(names.at(anchors.at(0))), quoted(names.at(anchors.at(1)))));
    anchor = anchors.first();
    return true;
}

bool ExperimentPlan::readConfiguration(const QJsonObject &object, const QString &where, PlanConfiguration *configuration)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!configurationKeys.contains(it.key()))
            return fail(EX_USAGE, where, QStringLiteral("unknown key %1 (a configuration has %2)")
                                             .arg(quoted(it.key()), configurationKeys.join(QStringLiteral(", "))));
    for (const char *key : {"name", "encoder", "cfg"}) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (!value.isString() || value.toString().isEmpty())
            return fail(EX_USAGE, where, QStringLiteral("%1 is missing or not a string").arg(quoted(QLatin1String(key))));
    }
    const QJsonValue anchor = object.value(QStringLiteral("anchor"));
    const QJsonValue decoder = object.value(QStringLiteral("decoder"));
    const QJsonValue cells = object.value(QStringLiteral("cells"));
    if (!cells.isUndefined() && (!cells.isString() || cells.toString().isEmpty()))
        return fail(EX_USAGE, where, QStringLiteral("\"cells\" is the folder of its cells made before, not %1")
                                         .arg(shown(cells)));
    if (!anchor.isUndefined() && !anchor.isBool())
        return fail(EX_USAGE, where, QStringLiteral("\"anchor\" is true or false, not %1").arg(shown(anchor)));
    if (!decoder.isUndefined() && (!decoder.isString() || decoder.toString().isEmpty()))
        return fail(EX_USAGE, where, QStringLiteral("\"decoder\" is a program, not %1").arg(shown(decoder)));
    configuration->name = object.value(QStringLiteral("name")).toString();
    QString unfit = nameProblem(configuration->name);
    if (unfit.isEmpty() && reservedName(configuration->name))
        unfit = QStringLiteral("the name %1 is taken by the results' own files").arg(quoted(configuration->name));
    if (!unfit.isEmpty())
        return fail(EX_USAGE, where, unfit);
    configuration->anchor = anchor.toBool();
    configuration->encoder = program(object.value(QStringLiteral("encoder")).toString());
    configuration->cfg = resolved(object.value(QStringLiteral("cfg")).toString());
    EncoderConfigFile keys;
    keys.read(configuration->cfg);
    if (Codecs::ofEncoder(configuration->encoder, keys.keys()).name() == QLatin1String("VVC"))
        configuration->bitstreamSuffix = QStringLiteral("266");
    if (!decoder.isUndefined())
        configuration->decoder = program(decoder.toString());
    if (!cells.isUndefined()) {
        configuration->cells = QDir::cleanPath(resolved(cells.toString()));
        const QString unfitFolder = FileCheck::folderProblem(configuration->cells);
        if (!unfitFolder.isEmpty())
            return fail(EX_NOINPUT, where, QStringLiteral("the cells folder %1: %2")
                                               .arg(QDir::toNativeSeparators(configuration->cells), unfitFolder));
    }
    return checkReadable(configuration->cfg, where, QStringLiteral("cfg"))
           && checkProgram(configuration->encoder, where, QStringLiteral("encoder"))
           && (configuration->decoder.isEmpty() || checkProgram(configuration->decoder, where, QStringLiteral("decoder")));
}

// A raw sequence must hold a picture at its size, as every configuration has the encoder read it
// (its InputBitDepth and InputChromaFormat): otherwise each of its cells would start an encoder
// only to find no picture.
bool ExperimentPlan::checkRawPictures()
{
    QHash<QString, QByteArray> read;
    for (int s = 0; s < sequenceList.size(); ++s) {
        const PlanSequence &sequence = sequenceList.at(s);
        if (!sequence.raw())
            continue;
        const qint64 size = QFileInfo(sequence.path).size();
        for (int c = 0; c < configurationList.size(); ++c) {
            QString unreadable;
            EncoderConfigFile keys;
            keys.parse(cellConfiguration(sequence, configurationList.at(c), &unreadable, nullptr, &read));
            const RawFeed::Layout layout = RawFeed::layout(sequence.rawWidth, sequence.rawHeight, keys, size);
            if (!unreadable.isEmpty() || layout.pictures > 0)
                continue;
            return fail(EX_USAGE, QStringLiteral("sequences[%1] %2").arg(s).arg(quoted(sequence.name)),
                        QStringLiteral("the raw file %1 of %2 bytes holds no whole picture of \"size\" %3x%4 "
                                       "(%5 bytes at InputBitDepth %6 and InputChromaFormat %7, as configurations[%8] "
                                       "%9 reads it)")
                            .arg(sequence.path).arg(size).arg(sequence.rawWidth).arg(sequence.rawHeight)
                            .arg(layout.pictureBytes).arg(layout.depth).arg(layout.chroma).arg(c)
                            .arg(quoted(configurationList.at(c).name)));
        }
    }
    return true;
}

// A configuration without FramesToBeEncoded gets the sequence's picture count, whether its
// cells run in one piece or in segments (a reference encoder refuses to code without it): a
// video's pictures are counted once, here, where a configuration needs them.
bool ExperimentPlan::countVideoPictures()
{
    QHash<QString, QByteArray> read;
    for (int s = 0; s < sequenceList.size(); ++s) {
        PlanSequence &sequence = sequenceList[s];
        if (sequence.raw() || sequence.frames > 0)
            continue;
        int lacking = -1;
        for (int c = 0; c < configurationList.size() && lacking < 0; ++c) {
            QString unreadable;
            EncoderConfigFile keys;
            keys.parse(cellConfiguration(sequence, configurationList.at(c), &unreadable, nullptr, &read));
            if (unreadable.isEmpty() && !keys.contains(QStringLiteral("FramesToBeEncoded")))
                lacking = c;
        }
        if (lacking < 0)
            continue;
        const PictureCount found = countPictures(QFile::encodeName(sequence.path).constData(), nullptr, nullptr);
        if (found.error < 0 || found.pictures <= 0)
            return fail(EX_USAGE, QStringLiteral("sequences[%1] %2").arg(s).arg(quoted(sequence.name)),
                        QStringLiteral("configurations[%1] %2 lacks FramesToBeEncoded, and the pictures of %3 cannot "
                                       "be counted to give it: add \"frames\" to the sequence, or FramesToBeEncoded to "
                                       "the configuration")
                            .arg(lacking).arg(quoted(configurationList.at(lacking).name), sequence.path));
        sequence.counted = found.pictures;
    }
    return true;
}

QByteArray ExperimentPlan::cellConfiguration(const PlanSequence &sequence, const PlanConfiguration &configuration,
                                             QString *problem, QByteArray *earlier,
                                             QHash<QString, QByteArray> *read) const
{
    QByteArray text;
    for (const QString &path : {configuration.cfg, sequence.cfgFile}) {
        if (path.isEmpty())
            continue;
        const auto kept = read ? read->constFind(path) : QHash<QString, QByteArray>::const_iterator();
        QByteArray contents;
        if (read && kept != read->cend()) {
            contents = *kept;
        } else {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                *problem = QStringLiteral("cannot read the configuration %1: %2").arg(path, file.errorString());
                return QByteArray();
            }
            contents = file.readAll();
            if (read)
                read->insert(path, contents);
        }
        if (!text.isEmpty())
            text += "\n# The sequence's own lines (" + QFile::encodeName(path) + ")\n";
        text += contents;
        if (!text.endsWith('\n'))
            text += '\n';
    }
    if (!sequence.cfgLines.isEmpty())
        text += "\n# The sequence's own lines (the plan's)\n" + sequence.cfgLines;

    // The source keys a per-sequence file would hold, from the plan. A reconstruction file would
    // be written by every cell's encoder at once into one folder: the experiment keeps none.
    EncoderConfigFile keys;
    keys.parse(text);
    QByteArray own;
    if (sequence.raw())
        own += "FrameRate : " + QByteArray::number(sequence.fps) + '\n';
    if (sequence.frames > 0)
        own += "FramesToBeEncoded : " + QByteArray::number(sequence.frames) + '\n';
    // What a reference encoder's stock configuration leaves to a per-sequence file, as the job
    // hands the pictures over: a configuration without them gets them here, so that a cell's
    // encoder is told the same whether the cell runs in one piece or in segments.
    QByteArray added;
    if (!keys.contains(QStringLiteral("InputBitDepth")))
        added += "InputBitDepth : 8\n";
    if (!keys.contains(QStringLiteral("InputChromaFormat")))
        added += "InputChromaFormat : 420\n";
    const qint64 count = sequence.raw()
        ? RawFeed::layout(sequence.rawWidth, sequence.rawHeight, keys, QFileInfo(sequence.path).size()).pictures
        : sequence.counted;
    if (sequence.frames <= 0 && count > 0 && !keys.contains(QStringLiteral("FramesToBeEncoded")))
        added += "FramesToBeEncoded : " + QByteArray::number(count) + '\n';
    const QByteArray recon = keys.value(QStringLiteral("ReconFile")).trimmed().isEmpty() ? "" : "ReconFile :\n";
    const auto closed = [&text](const QByteArray &lines) {
        return lines.isEmpty() ? text : text + "\n# Set by the experiment\n" + lines;
    };
    if (earlier)
        *earlier = added.isEmpty() ? QByteArray() : closed(own + recon);
    return closed(own + added + recon);
}
