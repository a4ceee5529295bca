#ifndef CELLPROGRESS_H
#define CELLPROGRESS_H

#include "pathstamp.h"

#include "parts/jobrecord.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// How far a cell being encoded has come, told from its files, so that it works alike for cells
// that this process, another one or another machine encodes: in one piece, the picture lines its
// encoder wrote into the cell's log since the log's last run began; in segments, the finished
// segments of its parts folder against the plan the job recorded there, with the hosts whose
// processes hold claims in it. A file is read again only when its size or time changed, and the
// log only from where the last look stopped.
class CellProgress
{
public:
    struct Figures
    {
        qint64 picturesDone = -1;   // -1: not known
        qint64 picturesTotal = -1;
        int segmentsDone = 0;
        int segmentsTotal = 0;      // 0: in one piece
        QStringList hosts;          // in segments: the hosts with a claim in its parts folder

        bool operator==(const Figures &other) const
        {
            return picturesDone == other.picturesDone && picturesTotal == other.picturesTotal
                && segmentsDone == other.segmentsDone && segmentsTotal == other.segmentsTotal && hosts == other.hosts;
        }
    };

    CellProgress(const QString &log, const QString &bitstream);

    // Looks again; true when the figures changed. `sequencePictures` is the count of pictures
    // the cell encodes (-1 while unknown), the total in one piece and the end of a last segment
    // that runs to the end of the input.
    bool look(qint64 sequencePictures);
    const Figures &figures() const { return now; }

private:
    void lookLog();
    void readLog(qint64 from, qint64 to);
    void lookParts(qint64 sequencePictures);

    QString logPath;
    QString partsPath;
    QString bitstreamPath;
    PathStamp logStamp;
    qint64 logRead = 0;            // bytes of the log taken so far
    QByteArray partialLine;        // the log after its last line end
    qint64 runPictures = 0;        // picture lines since the last run's heading
    PathStamp partsStamp;
    PathStamp jobStamp;
    JobRecord job;
    qint64 partsTotalFor = -2;     // the sequence count the segments' total was worked out with
    Figures now;
};

#endif // CELLPROGRESS_H
