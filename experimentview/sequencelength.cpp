#include "sequencelength.h"

#include "decode/picturecount.h"
#include "experiment/experimentplan.h"
#include "feed/rawfeed.h"
#include "jobtypes/encoderconfigfile.h"

#include <QFile>
#include <QFileInfo>

SequenceLength::SequenceLength(const ExperimentPlan &plan, const std::atomic_bool *stop)
    : plan(plan)
    , stop(stop)
{
}

qint64 SequenceLength::pictures(int sequence, const QByteArray &configuration)
{
    const PlanSequence &entry = plan.sequences().at(sequence);
    qint64 count = -1;
    if (entry.raw()) {
        EncoderConfigFile keys;
        keys.parse(configuration);
        count = RawFeed::layout(entry.rawWidth, entry.rawHeight, keys, QFileInfo(entry.path).size()).pictures;
    } else if (counted.contains(sequence)) {
        count = counted.value(sequence);
    } else {
        const PictureCount found = countPictures(QFile::encodeName(entry.path).constData(), nullptr, stop);
        count = found.error < 0 ? -1 : qint64(found.pictures);
        // A stopped count is no count; the follower is going anyway.
        if (!stop->load())
            counted.insert(sequence, count);
    }
    if (entry.frames > 0 && (count < 0 || entry.frames < count))
        return entry.frames;
    return count;
}
