#ifndef REWRITEPLAN_H
#define REWRITEPLAN_H

// What the rewrite of a finished stream is to do, worked out from the facts about the output
// and the stream's first sequence parameter set: the settings of the metadata filter, the SEI
// messages to add, and the words of the summary that says what changed.

#include "bitstream/seiwriter.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

extern "C" {
#include <libavutil/rational.h>
}

struct OutputFacts;
struct SequenceFormat;

struct RewritePlan
{
    int cropRight = -1, cropBottom = -1;     // luma samples; -1: keep
    int shownWidth = 0, shownHeight = 0;     // what will be shown
    AVRational rate{0, 1};
    AVRational sar{0, 1};
    bool fullRange = false;
    int primaries = -1, transfer = -1, matrix = -1;
    QList<SeiWriter::Message> seiMessages;   // added to every random-access picture
    QStringList parts;

    bool crops() const { return cropRight >= 0 || cropBottom >= 0; }
    bool empty() const
    {
        return !crops() && !rate.num && !sar.num && !fullRange && primaries < 0 && transfer < 0
            && matrix < 0 && seiMessages.isEmpty();
    }

    // Why the facts cannot be written (a negative size or rate, a colour code out of range);
    // empty when they can.
    static QString checkFacts(const OutputFacts &facts);
    static RewritePlan make(const OutputFacts &facts, const SequenceFormat &format);
    // The summary's words for the HDR metadata: what was added, and what the encoder had
    // written itself and was kept instead (SEI payload types).
    static QStringList hdrSummary(const OutputFacts &facts, const QSet<int> &added, const QSet<int> &kept);
    // One line for the log: what was changed, or that nothing was.
    QString summary() const;
};

#endif // REWRITEPLAN_H
