#ifndef PARTSFOLDER_H
#define PARTSFOLDER_H

#include "jobrecord.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// The folder of a job's finished segments, `<output name>.parts/` beside the output (the same
// file system, so that renames are atomic). It lives while the job is unfinished and holds:
//   job.json                 what the segments are made from, written once when the folder is made
//   part_<first>.265         a finished segment (first picture, 7 digits)
//   part_<first>.json        its record: pictures, bytes, hash; written last
//   part_<first>.claim       the claim of the process encoding it (PartClaim)
//   part_<first>.265.<host>.<pid>.partial   a segment being encoded
//   output.claim             the claim of the process making the output
//   process.<host>.<pid>.claim   the presence of each process working on the job
// Every file is written whole under a name of its own and renamed (or linked) into place, and
// no file is written by two processes, so that several processes, on several machines sharing
// the folder, can add segments to it at once. Links are never followed, and only the files
// named above are ever removed (regular files only), never the folder's other contents.
class PartsFolder
{
public:
    // A finished segment's record.
    struct SegmentRecord
    {
        qint64 first = 0;
        qint64 pictures = 0;
        qint64 bytes = 0;
        QByteArray hash;             // SHA-256 of the segment file, hex
        QJsonObject extra;           // what the job keeps beside it (e.g. the pictures' report)
    };

    explicit PartsFolder(const QString &outputPath);
    // The folder's name beside an output of that name ("clip.265" gives "clip.265.parts").
    static QString nameFor(const QString &outputName);

    const QString &path() const { return folder; }
    // Empty when the folder exists as a folder (or was made); else why it cannot be used.
    QString make();
    bool exists() const;
    // Whether the job record is there: a folder without it is new, or going.
    bool hasJob() const;

    // The job record; false when there is none (problem set when it is unreadable).
    bool readJob(JobRecord *record, QString *problem) const;
    // Writes the job record unless there is one already; either way *inPlace is the record now
    // in the folder (another process's, should it have come first).
    QString writeJob(const JobRecord &record, JobRecord *inPlace);

    QString jobPath() const;
    QString segmentPath(qint64 first) const;
    QString recordPath(qint64 first) const;
    QString claimPath(qint64 first) const;
    QString partialPath(qint64 first) const;   // this process's own
    QString outputClaimPath() const;
    QString presenceClaimPath() const;         // this process's own
    // Every claim file in the folder, this process's presence excluded.
    QStringList otherClaims() const;

    // What a process that does not run the job may ask, reading only: whether a segment of the
    // recorded plan is neither finished nor held by a live process, so that a job started on the
    // folder finds work to claim; and whether every segment is finished while no live process
    // claims the making of the output.
    bool hasFreeSegment() const;
    bool outputUnclaimed() const;

    // Whether the segment is finished and its file still matches its record (size, and with
    // checkHash its hash); the record in *record.
    bool finished(qint64 first, SegmentRecord *record, bool checkHash) const;
    // Makes this process's partial file the finished segment: renamed into place, its record
    // written last. The hash is worked out here.
    QString finish(SegmentRecord record);
    // Removes a finished segment, its record and this process's partial (one that no longer
    // checks out, or that is to be encoded afresh).
    void discardSegment(qint64 first) const;
    // Removes this process's partial of the segment (a stopped or failed encode).
    void discardPartial(qint64 first) const;

    // The firsts of the segments with a record or a segment file, from whatever plan.
    QList<qint64> keptSegments() const;
    // Removes every file the job names (segments, records, partials of this host's dead
    // processes and of this process, the job record) but claims; problem on failure.
    QString discardAll() const;
    // As discardAll(), but the finished segments that start at `keep` and the job record stay.
    QString discardAllBut(const QList<qint64> &keep) const;
    // Writes the job record in place of the one there (a plan made anew).
    QString replaceJob(const JobRecord &record);
    // A name of the job's (its record, a segment, its record or claim) that something other
    // than a regular file has taken, in words; empty when there is none. Such a name is never
    // followed or removed, and the job cannot write there.
    QString unfitName() const;
    // Removes every file the job names, then the folder if it is empty.
    void remove() const;
    // Removes the folder if it is empty (never a link).
    void removeIfEmpty() const;

    static QByteArray fileHash(const QString &path, QString *problem);

private:
    QString namedFile(const QString &name) const { return folder + QLatin1Char('/') + name; }
    QList<SegmentPlan::Segment> recordedPlan() const;
    QStringList ownedNames() const;

    QString folder;
};

#endif // PARTSFOLDER_H
