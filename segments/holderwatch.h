#ifndef HOLDERWATCH_H
#define HOLDERWATCH_H

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class PartClaim;
class QTimer;

// The claims other processes hold on the segments this process has not got, watched while it
// has nothing left to take: whether a holder has gone (its segment can be taken over at once),
// who holds the rest, what this process says of them, and when it looks again.
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

    using QObject::QObject;

    static Look look(const QList<PartClaim *> &claims);
    // The line that leaves the segments to their holders (--no-wait).
    static QString leftLine(const Look &look);
    // This process waits for the holders: it says so (once for the same holders), and
    // lookAgain() follows in a second.
    void waitFor(const Look &look);
    // No more looks.
    void stop();

signals:
    void message(const QString &line);
    void lookAgain();

private:
    QString waitingFor;             // the holders this process waits for, as last said
    QTimer *timer = nullptr;
};

#endif // HOLDERWATCH_H
