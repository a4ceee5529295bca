#ifndef FILTERCONTEXT_H
#define FILTERCONTEXT_H

#include "jobtypes/jobtypes.h"

#include <QString>

// The pictures around a stretch of the input that an encoder's temporal filter reads besides
// those it codes: up to TemporalFilterPastRefs before each picture it filters and
// TemporalFilterFutureRefs after it (4 each where the configuration names none). A run over a
// stretch of a longer encode hands its encoder those of them that lie within the longer encode,
// in the one regular file it reads, so that the filter sees what it sees over the whole, and
// tells it which pictures of that file to code in a copy of its configuration with FrameSkip
// (the pictures before), FramesToBeEncoded, FirstValidFrame and LastValidFrame (the file's
// first and last) added at the end, where they win. The command line keeps its format: only
// the configuration it names is the copy.
class FilterContext
{
public:
    // For the run the settings describe: active where they name the longer encode
    // (contextFirst >= 0), the configuration turns the temporal filter on, and the encoder is
    // not the bundled one, which has no such filter and refuses the keys. overlap: the run also
    // codes the picture after its stretch.
    static FilterContext of(const JobSettings &settings, bool overlap);

    bool active() const { return on; }
    // Pictures handed over before the stretch's first one, which the encoder skips.
    qint64 before() const { return lead; }
    // At most this many handed over after the stretch's last one (fewer where the input ends).
    qint64 after() const { return trail; }
    // The lines the copy of the configuration ends with, for a file of `handed` pictures of
    // which the encoder codes `coded`.
    QByteArray configLines(qint64 handed, qint64 coded) const;
    // What the log says of it, the same for every stretch of a job.
    QString line() const;

private:
    bool on = false;
    qint64 lead = 0;
    qint64 trail = 0;
    int past = 0;
    int future = 0;
};

#endif // FILTERCONTEXT_H
