#ifndef HOLDERWATCH_H
#define HOLDERWATCH_H

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class PartClaim;
class QTimer;

// The claims other processes hold on the pieces of work this process has not got, watched while
// it has nothing left to take: whether a holder has gone (its piece can be taken over at once),
// who holds the rest, and when to look again. A wait under way is never put off by another ask,
// so that an owner that asks often still looks again at the interval. What a wait means is its
// owner's to say.
class HolderWatch : public QObject
{
    Q_OBJECT

public:
    struct Look
    {
        bool holderGone = false;    // one claim's holder is gone: the look stopped there
        int held = 0;
        QStringList holders;        // their hosts, each once
        bool allSeenAlive = true;   // every holder is known to be alive
    };

    // intervalMs: how long a wait lasts before lookAgain(); waitIntervalMs, where shorter, how
    // long a wait for holders does (an owner that looks at the interval anyway while it has work,
    // and waits for holders only at its end, there learns sooner that they have finished).
    explicit HolderWatch(int intervalMs, QObject *parent = nullptr);
    HolderWatch(int intervalMs, int waitIntervalMs, QObject *parent = nullptr);

    static Look look(const QList<PartClaim *> &claims);
    // This process waits for the holders the look found: line, which says so, is told once for
    // the same holders, and lookAgain() follows after the interval.
    void waitFor(const Look &look, const QString &line);
    // This process waits for something else its owner looks at (a record another process is to
    // write): lookAgain() follows after the interval, and nothing is said.
    void lookAgainLater();
    // No more looks.
    void stop();

signals:
    void message(const QString &line);
    void lookAgain();

private:
    void lookAgainWithin(int ms);

    const int intervalMs;
    const int waitIntervalMs;
    QString waitingFor;             // the holders this process waits for, as last said
    QTimer *timer = nullptr;
};

#endif // HOLDERWATCH_H
