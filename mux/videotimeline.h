#ifndef VIDEOTIMELINE_H
#define VIDEOTIMELINE_H

// When the encoded pictures are shown and decoded in the output: each shown picture gets the
// time the input showed it (mended where a time is missing or not after the one before), the
// decoding times run as far ahead as the stream reorders, and the video track states the steady
// rate the pictures are shown at, where they have one.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

extern "C" {
#include <libavutil/rational.h>
}

struct AVPacket;
class OutputOrder;
struct PictureTimes;

class VideoTimeline
{
public:
    // Times the shown pictures of order from pictures (with none, picture k at k units of the
    // time base). spanEnd: where the input's span ends, which the last picture lasts until when
    // every picture given to the encoder was coded. A note goes to *notes when fewer were.
    QString plan(const OutputOrder &order, const PictureTimes &pictures, qint64 spanEnd, QStringList *notes);
    // Chooses the steady rate: the first of the rates the input states for its video stream
    // (e.g. a Matroska track's default duration), then one picture a unit of the time base, that
    // puts every picture within the rounding of the timestamps of its time.
    void chooseRate(QList<AVRational> stated);

    AVRational base() const { return timeBase; }
    qint64 first() const { return shown.first(); }
    // The end of the last picture.
    qint64 end() const { return videoEnd; }
    // The encoder coded fewer pictures than it was given times for.
    bool endsEarly() const { return fewer; }
    AVRational rate() const { return steadyRate; }   // 0/1: none

    // Times a picture's packet: the one at place in output order, decoded after `decoded`
    // others. origin: the time that becomes the output's zero.
    void stamp(AVPacket *packet, int place, int decoded, qint64 origin) const;
    // "25 fps", "29.97 fps (variable)"; empty for a single picture.
    QString rateText() const;

private:
    QVector<qint64> shown;             // the pictures' times, in output order
    AVRational timeBase{1, 25};
    qint64 videoEnd = 0;
    int reorderDelay = 0;              // decoding runs this many pictures ahead of output
    bool fewer = false;
    bool variableRate = false;
    AVRational steadyRate{0, 1};
};

#endif // VIDEOTIMELINE_H
