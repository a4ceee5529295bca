// The experiment plan's reader, on a plan in a folder that holds what a plan names: a raw
// sequence, a video, configurations, an encoder and a decoder, a folder of cells made before.
// A plan it takes must be one the experiment can use: an anchor among at least two
// configurations, at least four QPs in order, every cell found again from its index, every
// cell's configuration holding the keys the plan sets and the source keys an encoder needs
// (depth, chroma format, picture count), and a raw sequence that holds a picture.
// Read to follow, it takes whatever it takes to run. Reading writes nothing.

#include "fuzzsupport.h"

#include "experiment/experimentplan.h"
#include "feed/rawfeed.h"
#include "jobtypes/encoderconfigfile.h"

#include <QDir>

namespace {

using namespace FuzzSupport;

// The files a plan may name, made once.
QStringList makeFolder()
{
    writeFile(QStringLiteral("seq.yuv"), QByteArray(176 * 144 * 3 / 2 * 2, '\x80'));
    writeFile(QStringLiteral("clip.mkv"), QByteArray("not looked into"));
    writeFile(QStringLiteral("anchor.cfg"), QByteArray("IntraPeriod : 16\nReconFile : rec.yuv\n"));
    writeFile(QStringLiteral("test.cfg"), QByteArray("IntraPeriod : 32\nInputBitDepth : 10"));
    for (const QString &program : {QStringLiteral("enc"), QStringLiteral("dec")}) {
        QFile file(writeFile(program, QByteArray("#!/bin/sh\nexit 0\n")));
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    }
    QDir(folder()).mkdir(QStringLiteral("cells"));
    return QDir(folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

void checkCells(const ExperimentPlan &plan)
{
    FUZZ_EXPECT(!plan.sequences().isEmpty() && plan.configurations().size() >= 2);
    FUZZ_EXPECT(plan.anchorIndex() >= 0 && plan.anchorIndex() < plan.configurations().size());
    for (int c = 0; c < plan.configurations().size(); ++c)
        FUZZ_EXPECT(plan.configurations().at(c).anchor == (c == plan.anchorIndex()));
    FUZZ_EXPECT(plan.qps().size() >= 4);
    for (int i = 0; i < plan.qps().size(); ++i)
        FUZZ_EXPECT(plan.qps().at(i) >= 0 && plan.qps().at(i) <= 51 && (i == 0 || plan.qps().at(i - 1) < plan.qps().at(i)));
    if (plan.cellCount() <= 4096) {
        for (int index = 0; index < plan.cellCount(); ++index) {
            const ExperimentPlan::CellPlace place = plan.cellAt(index);
            FUZZ_EXPECT(plan.cellIndex(place.sequence, place.configuration, place.qpIndex) == index);
        }
    }
    for (const PlanSequence &sequence : plan.sequences().mid(0, 8)) {
        for (const PlanConfiguration &configuration : plan.configurations().mid(0, 8)) {
            QString problem;
            EncoderConfigFile keys;
            keys.parse(plan.cellConfiguration(sequence, configuration, &problem));
            FUZZ_EXPECT(problem.isEmpty());
            for (const char *key : {"InputBitDepth", "InputChromaFormat", "FramesToBeEncoded"})
                FUZZ_EXPECT(keys.contains(QLatin1String(key)));
            if (sequence.frames > 0)
                FUZZ_EXPECT(keys.value(QStringLiteral("FramesToBeEncoded")) == QString::number(sequence.frames));
            if (sequence.raw()) {
                FUZZ_EXPECT(keys.value(QStringLiteral("FrameRate")) == QString::number(sequence.fps));
                const qint64 size = QFileInfo(sequence.path).size();
                FUZZ_EXPECT(RawFeed::layout(sequence.rawWidth, sequence.rawHeight, keys, size).pictures > 0);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QStringList made = makeFolder();
    const QString path = writeFile(QStringLiteral("plan.json"), bytes(data, size));

    ExperimentPlan toRun;
    const bool runs = toRun.read(path);
    FUZZ_EXPECT(runs || (!toRun.error().isEmpty() && toRun.status() != 0));
    ExperimentPlan toFollow;
    const bool follows = toFollow.read(path, ExperimentPlan::ToFollow);
    FUZZ_EXPECT(!runs || (follows && toFollow.runProblem().isEmpty()));
    if (runs)
        checkCells(toRun);
    if (follows)
        checkCells(toFollow);

    QStringList now = QDir(folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    now.removeOne(QStringLiteral("plan.json"));
    FUZZ_EXPECT(now == made);
    return 0;
}
