#ifndef SEQUENCELENGTH_H
#define SEQUENCELENGTH_H

#include <QByteArray>
#include <QHash>

#include <atomic>

class ExperimentPlan;

// The pictures a sequence's cells encode, for how far a running cell has come: the pictures of
// a raw file at the depth and chroma format of the cell's configuration, or those of a video
// counted from its packets (once: it takes a moment for a long one), no more than the plan's
// "frames" where it gives them. -1 where they cannot be told.
class SequenceLength
{
public:
    // `stop` ends a count under way, for a follower that is closing.
    SequenceLength(const ExperimentPlan &plan, const std::atomic_bool *stop);

    qint64 pictures(int sequence, const QByteArray &configuration);

private:
    const ExperimentPlan &plan;
    const std::atomic_bool *stop;
    QHash<int, qint64> counted;    // videos' pictures, by sequence
};

#endif // SEQUENCELENGTH_H
