#ifndef CELLPARTS_H
#define CELLPARTS_H

#include "parts/partsfolder.h"

#include <QString>

#include <map>
#include <memory>

class PartClaim;

// A cell's parts folder (the segments of the job that encodes it) as a process that does not
// run that job sees it: whether a segment is free to take, and whether the output still waits
// for someone to make it. The claims of other hosts are watched from one look to the next, so
// that one left unrefreshed for the timeout counts as abandoned.
class CellParts
{
public:
    explicit CellParts(const QString &bitstream);
    ~CellParts();

    bool exists() const { return parts.exists(); }
    // A segment that is neither finished nor held by a live process, claimed for this process;
    // null when there is none.
    std::unique_ptr<PartClaim> takeFreeSegment();
    // Every segment is finished, and no live process claims the making of the output.
    bool outputUnclaimed();

private:
    PartClaim &watched(const QString &path);

    PartsFolder parts;
    std::map<QString, std::unique_ptr<PartClaim>> claims;
};

#endif // CELLPARTS_H
