#ifndef PARTCLAIM_H
#define PARTCLAIM_H

#include <QByteArray>
#include <QString>

#include <functional>

// A claim on a piece of work in a folder that several processes, on one machine or on several
// that share the folder, may use at once: a small file that names its holder's host and
// process. It is made with an exclusive link, so of two processes only one gets it, also on a
// network file system.
//
// Its holder refreshes it (refresh(), every refreshIntervalMs()). A claim this process has
// watched go unrefreshed for the timeout is abandoned and may be taken over, whoever holds it:
// a holder on another host cannot be seen from here, and one on this host may live on without
// doing its work (stopped, or blocked writing to a pipe nobody reads). What the process has
// watched is the process's, whichever object looked: a claim seen through one object and taken
// through another is taken over as soon as it has gone unrefreshed for the timeout. A claim
// whose holder ran on this host and has ended (the same process, not a later one with its
// number) is abandoned at once. A holder that comes back to a claim taken over finds it no
// longer its own.
class PartClaim
{
public:
    // What a claim file says of its holder.
    struct Holder
    {
        QString host;
        qint64 pid = 0;
        QByteArray boot;     // the holder's boot ID: another one means the holder is gone
        qint64 started = 0;  // the holder's start time in clock ticks after boot
        QByteArray nonce;    // one claim's own mark, so that a claim is never mistaken for another
        bool valid() const { return pid > 0 && !nonce.isEmpty(); }
        QString describe() const;   // "node2 (process 4242)"
    };

    // What a reader sees of a claim, by the rules above alone, so that every reader (a job's
    // scheduler, an experiment's runner, a view that only follows a folder) comes to the same
    // answer about the same claim.
    struct Sight
    {
        enum State {
            Free,       // no claim there
            Alive,      // its holder is known to live: a process of this host that runs, or one of
                        // another host whose claim this process has seen refreshed
            Unproven,   // its holder is of another host, and its claim has not been seen refreshed
                        // yet (nor gone unrefreshed for the timeout)
            Ended,      // its holder is of this host and has ended, or of an earlier boot
            Silent,     // this process has watched it go unrefreshed for the timeout
            Broken      // no claim: half written by a holder that died making it, or garbage
        };
        State state = Free;
        Holder holder;
        qint64 silentMs = 0;    // how long this process has seen it unrefreshed
        // Someone holds the work: the claim is neither free nor abandoned.
        bool held() const { return state == Alive || state == Unproven; }
    };
    // Looks at the claim at `path` (never written).
    static Sight observe(const QString &path);

    explicit PartClaim(const QString &path);
    ~PartClaim();                   // releases a claim held
    PartClaim(const PartClaim &) = delete;
    PartClaim &operator=(const PartClaim &) = delete;

    const QString &path() const { return claimPath; }
    bool held() const { return holding; }

    // How taking the claim on a piece of work went.
    enum Take {
        Taken,      // the claim is this process's now
        Held,       // another process holds it
        Unusable,   // the claim cannot be made (a link where it should be, no permission): error()
        Finished    // taken, but the work turned out finished meanwhile: the claim is let go again
    };
    // Takes the claim on a piece of work that a look found open, then asks finishedMeanwhile
    // whether another process finished the work between that look and the claim.
    Take take(const std::function<bool()> &finishedMeanwhile);
    // Takes the claim when nobody holds it, or when its holder has gone.
    bool tryTake();
    // Keeps a held claim fresh. False when the claim is no longer ours (taken over after it
    // went unrefreshed too long): the work under it must stop.
    bool refresh();
    void release();

    // Who holds the claim, if anyone; empty when nobody does or the holder is gone.
    Holder liveHolder() const;
    // As liveHolder(); *seenAlive tells whether the holder is known to be alive: a process of
    // this host that runs, or one of another host whose claim this object has seen refreshed.
    Holder watchHolder(bool *seenAlive) const;
    // When another process took over a claim whose holder had gone: that holder, for the log,
    // and whether it was seen to go (false: it left the claim unrefreshed for the timeout).
    const Holder &takenOverFrom() const { return previous; }
    bool previousEnded() const { return previousGone; }
    // That holder in words: "node2 (process 4242), which is gone", or "..., which has not
    // refreshed its claim for 60 s"; empty when the claim was not taken over.
    QString leftBy() const;
    // Whether the claim file is still the one this object made; reads the file only, so that a
    // thread finishing the work under the claim may ask while the owner refreshes it.
    bool stillOwn() const;
    // A problem other than someone else holding the claim (a link where a file should be, no
    // permission), for the user.
    const QString &error() const { return problem; }

    // This process as a holder.
    static Holder self();
    // Seconds a claim may go unrefreshed: MORLUNEX_CLAIM_TIMEOUT, else 60.
    static int timeoutSeconds();
    // How often a holder refreshes its claims: a sixth of the timeout (at most 10 s), so that a
    // live holder held up for a while is never taken for gone, also with a timeout of 1 s.
    static int refreshIntervalMs();
    // Reads a claim file (false when there is none or it is unreadable).
    static bool read(const QString &path, Holder *holder, QByteArray *content = nullptr);

private:
    static QByteArray newContent();
    bool writeStaging(const QString &staging, const QByteArray &content);
    static Sight::State stateOf(const Holder &holder, const QString &path, qint64 *silentMs);
    static bool readSeen(const QString &path, Holder *holder);
    void removeDeadStaging() const;
    bool takeOver(const QByteArray &staleContent);

    QString claimPath;
    bool holding = false;
    QByteArray ownContent;
    Holder previous;
    bool previousGone = false;
    QString problem;
};

#endif // PARTCLAIM_H
