#include "holderwatch.h"

#include "partclaim.h"

#include <QTimer>

#include <algorithm>

HolderWatch::HolderWatch(int intervalMs, QObject *parent)
    : HolderWatch(intervalMs, intervalMs, parent)
{
}

HolderWatch::HolderWatch(int intervalMs, int waitIntervalMs, QObject *parent)
    : QObject(parent)
    , intervalMs(intervalMs)
    , waitIntervalMs(std::min(intervalMs, waitIntervalMs))
{
}

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

// Every free piece is taken and others hold the rest: this process waits, so that a holder that
// goes (a machine lost, a task cancelled) costs its piece, not the whole. It looks again after
// the interval, and takes over a claim whose holder is gone or has left it unrefreshed.
void HolderWatch::waitFor(const Look &look, const QString &line)
{
    const QString who = look.holders.join(QStringLiteral(", "));
    if (who != waitingFor) {
        waitingFor = who;
        emit message(line);
    }
    lookAgainWithin(waitIntervalMs);
}

void HolderWatch::lookAgainLater()
{
    lookAgainWithin(intervalMs);
}

// A look already due sooner stays; one due later is brought forward.
void HolderWatch::lookAgainWithin(int ms)
{
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, &HolderWatch::lookAgain);
    }
    if (!timer->isActive() || timer->remainingTime() > ms)
        timer->start(ms);
}

void HolderWatch::stop()
{
    delete timer;
    timer = nullptr;
}
