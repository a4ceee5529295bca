#include "holderwatch.h"

#include "parts/partclaim.h"

#include <QTimer>

namespace {

// How often a process that has nothing left to do looks at the segments others hold: often
// enough that the last process starts on the output soon after the last segment is done; a
// look reads a few small files.
constexpr int watchIntervalMs = 250;

} // namespace

HolderWatch::Look HolderWatch::look(const QList<PartClaim *> &claims)
{
    Look look;
    for (PartClaim *claim : claims) {
        bool seenAlive = false;
        const PartClaim::Holder holder = claim->watchHolder(&seenAlive);
        if (!holder.valid()) {
            look.holderGone = true;
            return look;
        }
        ++look.held;
        look.allSeenAlive = look.allSeenAlive && seenAlive;
        if (!look.holders.contains(holder.host))
            look.holders << holder.host;
    }
    return look;
}

// Every free segment is taken and others hold the rest: this process waits, so that a holder
// that goes (a machine lost, a task cancelled) costs its segment, not the output. It looks
// again every second, and takes over a claim whose holder is gone or has left it unrefreshed.
void HolderWatch::waitFor(const Look &look)
{
    const QString who = look.holders.join(QStringLiteral(", "));
    if (who != waitingFor) {
        waitingFor = who;
        emit message(look.held == 1
                         ? QStringLiteral("Waiting for the segment %1 holds: should it go, the segment is encoded "
                                          "here (--no-wait leaves it to %1 instead).").arg(who)
                         : QStringLiteral("Waiting for the %1 segments %2 hold%3: should a holder go, its segments "
                                          "are encoded here (--no-wait leaves them to their holders instead).")
                               .arg(look.held).arg(who).arg(look.holders.size() == 1 ? "s" : ""));
    }
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, &HolderWatch::lookAgain);
    }
    timer->start(watchIntervalMs);
}

void HolderWatch::stop()
{
    delete timer;
    timer = nullptr;
}

QString HolderWatch::leftLine(const Look &look)
{
    const int held = look.held;
    return QStringLiteral("%1 segment%2 %3 still being encoded by %4; the output is made "
                          "by whichever process finishes last.")
        .arg(held).arg(held == 1 ? "" : "s").arg(held == 1 ? "is" : "are")
        .arg(look.holders.join(QStringLiteral(", ")));
}
