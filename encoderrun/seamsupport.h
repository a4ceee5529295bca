#ifndef SEAMSUPPORT_H
#define SEAMSUPPORT_H

#include "jobtypes/encoderconfigfile.h"
#include "jobtypes/jobtypes.h"

#include <QList>
#include <QString>

// Whether an encoder and its configuration can code a job's segments so that they join into
// the very stream one run over the whole input writes. Each segment but the last then also
// codes the next one's first picture, which comes out as the intra picture it is in one piece
// with the pictures before it complete, and the next segment opens with its own copy of that
// picture as an IDR picture, which the join drops. That takes an encoder that codes the first
// picture of every intra period as a random-access picture (DecodingRefreshType 1, CRA, or 2,
// IDR, with an IntraPeriod above 0) and carries nothing across it, and segments that start
// where an intra period starts (with the temporal filter on, also where each period of its
// strength keys starts, since those count from the encoder's first picture). The bundled
// encoder carries its rate control's state across intra pictures: the two copies match, but
// the joined stream would not be one piece's, so its segments are joined the closed way.
class SeamSupport
{
public:
    SeamSupport(const QString &encoder, const EncoderConfigFile &config, const QString &configPath);

    // Whether segments may overlap by one picture.
    bool exact() const { return closed.isEmpty(); }
    // Why they may not, as a line for the log; empty when they may.
    const QString &closedLine() const { return closed; }
    // Whether a segment that starts `offset` pictures after the job's first picture starts
    // where one piece starts an intra period (and the filter's periods).
    bool cutsAt(qint64 offset) const;
    // For segments that start `starts` pictures after the job's first picture (the first at 0,
    // in order), where seams could be exact: the line that names the seams that stay closed
    // because a segment on either side of them does not start where one piece starts an intra
    // period (or a period of the temporal filter), and what that costs; empty when every seam
    // is exact or none could be.
    QString closedSeamsLine(const QList<qint64> &starts) const;
    // The intra period in input pictures; 0 without one.
    int intraPeriod() const { return period; }
    // The pictures the encoder codes of `handed` input pictures (fewer with a
    // TemporalSubsampleRatio above 1).
    qint64 codedPictures(qint64 handed) const;
    // The pictures between the places segments may start (a multiple of the intra period); 0
    // where seams are closed.
    qint64 cutStep() const { return step; }
    // For the settings' encoder and configuration file.
    static SeamSupport of(const JobSettings &settings);

    // Whether the encoder program is the bundled one: the file its path names, once every link
    // is followed, is the bundled encoder's program (the default encoder name in the program's
    // folder is a link to it).
    static bool isBundled(const QString &encoder);

private:
    QString file;      // the configuration, as the log names it
    int filterEvery = 0;    // the temporal filter's period where it reaches past the intra period
    QString closed;
    int period = 0;
    int subsample = 1;
    qint64 step = 0;    // segments may start at its multiples
};

#endif // SEAMSUPPORT_H
