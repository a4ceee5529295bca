#ifndef BDRATECOMMAND_H
#define BDRATECOMMAND_H

#include <QStringList>

struct YuvWeights;

// morlunex-cli --bd-rate ANCHOR.json... --vs TEST.json...: reads the reports' rates and mean
// PSNR figures (JSON reports, or CSV reports, whose rate is per picture: they hold no frame
// rate), prints the BD-rate for Y, U, V and YUV (each report's PSNR-YUV worked out from its
// planes' PSNRs with the weights given) and the BD-PSNR for Y on standard output (as one
// JSON object when asked), and returns the exit status: 0, 64 when the curves allow no figure
// (too few points, ranges that do not overlap, CSV and JSON reports mixed), 65 a file that is
// no usable report (a rate or PSNR missing or out of range) or a curve whose PSNR does not
// rise with its rate, 66 a report that cannot be read.
class BdRateCommand
{
public:
    static int run(const QStringList &anchors, const QStringList &tests, const YuvWeights &weights, bool json);
};

#endif // BDRATECOMMAND_H
