#ifndef CELLCHECK_H
#define CELLCHECK_H

#include <QString>

struct ReportSummary;

// The checks that make a cell's files count as a cell: its bitstream holds the pictures its
// encoder was given, whole, whether the job ran in one piece or in segments; its report reads
// back with a rate and three PSNRs fit for a curve and covers those pictures. A cell that fails
// one is failed or missing, never done.
namespace CellCheck {

// What a walk over a cell's bitstream tells.
struct Bitstream
{
    QString problem;         // it cannot be read, or is no HEVC byte stream
    qint64 pictures = 0;
    bool opensWell = false;  // parameter sets and a random-access picture first
    bool endsWhole = false;  // the last NAL unit is whole
    bool hashes = false;     // it carries decoded-picture hashes
};

// Walks the bitstream; a file not changed since the last walk (path, size and time of change)
// is not walked again.
Bitstream inspect(const QString &path);

// Why a bitstream an encoder made (exiting with 0) is not the cell, given the pictures the
// encoder was handed; empty when it is.
QString madeProblem(const Bitstream &bitstream, qint64 handed);

// Reads the cell's report at path into *summary; why it does not hold the figures of the
// cell's bitstream of `pictures` pictures and `bytes` bytes (not a report, no rate or PSNR in
// range, another picture count or size, a rate that is not that size over those pictures):
// empty when it does.
QString reportProblem(const QString &path, qint64 pictures, qint64 bytes, ReportSummary *summary);

} // namespace CellCheck

#endif // CELLCHECK_H
