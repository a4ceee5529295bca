#ifndef RECONPLACE_H
#define RECONPLACE_H

#include <QByteArray>
#include <QString>

// Where an encoder's reconstructed pictures go (the configuration's ReconFile, which the
// reference encoders' stock files set to "rec.yuv"), by one rule for a run in one piece and a
// segment alike. The encoder runs in the run's private folder, so that a relative name lands
// there, where it leads to /dev/null: the pictures take no room and go with the folder. An
// absolute name is written where it says, by one encoder at a time: a run claims the file (an
// advisory lock that ends with the process) while its encoder runs. A run that finds it
// claimed by another, and a segment (whose encoder would write its own pictures over the other
// segments'), give their encoder a copy of the configuration whose ReconFile leads to
// /dev/null instead.
class ReconPlace
{
public:
    enum Kind {
        NoFile,      // the configuration names none
        Discarded,   // a relative name: into the private folder, taking no room
        Written,     // an absolute name, written by this run's encoder
        Withheld     // an absolute name this run's encoder must not write
    };

    // name: the configuration's ReconFile, as it stands there.
    explicit ReconPlace(const QString &name);
    // Lets go of the claim.
    ~ReconPlace();
    ReconPlace(const ReconPlace &) = delete;
    ReconPlace &operator=(const ReconPlace &) = delete;

    // Before the encoder first starts: makes the place ready inside privateFolder and claims an
    // absolute file; the folder the encoder runs in. segment: one segment of a job in segments.
    // Asked again (a run that starts over), it changes nothing.
    QString prepare(const QString &privateFolder, bool segment);
    Kind kind() const { return state; }
    // The name, as the configuration gives it.
    const QString &name() const { return recon; }
    // The lines the copy of the configuration the encoder is given ends with; empty when the
    // configuration may be given as it is.
    QByteArray configLines() const;
    // What the log says of it, where the run writes no reconstruction; outputFolder: where the
    // job's output goes, for the absolute name it suggests.
    QString withoutFileLine(const QString &outputFolder) const;
    // After the encoder has ended: the claim ends, and a file this run made that stayed empty
    // (an encoder that never started) goes.
    void release();

private:
    void discardInto(const QString &folder);
    void claim();

    QString recon;
    Kind state = NoFile;
    bool prepared = false;
    bool segmentRun = false;
    QString runFolder;
    int claimFd = -1;         // the file, open and locked while this run's encoder may write it
    bool madeFile = false;    // this run created the file (empty) to lock it
};

#endif // RECONPLACE_H
