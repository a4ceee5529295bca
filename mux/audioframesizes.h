#ifndef AUDIOFRAMESIZES_H
#define AUDIOFRAMESIZES_H

// How many samples a packet of an audio stream holds, where the container does not say and
// only decoding tells (DTS in Matroska, say): MP4 and QuickTime note it in a track's sample
// description. Reads the input afresh from its start, as far as the first packets of those
// streams (a few seconds of the input at most).

#include <QHash>
#include <QList>
#include <QString>

class AudioFrameSizes
{
public:
    // By stream index, for each of the streams that told; streamCount: how many streams the
    // caller found in the input, so that the indexes are the same.
    static QHash<int, int> read(const QString &input, const QList<int> &streams, unsigned streamCount);
};

#endif // AUDIOFRAMESIZES_H
