#ifndef CLAIMKEEPER_H
#define CLAIMKEEPER_H

#include <QList>
#include <QObject>

#include <functional>

class PartClaim;
class QTimer;

// Keeps the claims a process holds fresh, at the one interval every holder uses
// (PartClaim::refreshIntervalMs()): each round asks its owner for the claims to keep, refreshes
// every one still held, and tells of one found taken over (another process saw this one as gone,
// or its claim unrefreshed for the timeout), so that the work under it stops.
class ClaimKeeper : public QObject
{
    Q_OBJECT

public:
    using Claims = std::function<QList<PartClaim *>()>;

    ClaimKeeper(Claims claims, QObject *parent = nullptr);

    void start();
    void stop();

signals:
    // The claim was this process's until now; it is another's.
    void lost(PartClaim *claim);
    // A round is done: a claim its owner keeps elsewhere is refreshed with the others.
    void refreshed();

private:
    void refresh();

    const Claims claims;
    QTimer *timer = nullptr;
};

#endif // CLAIMKEEPER_H
