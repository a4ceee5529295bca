#ifndef CELLRECORD_H
#define CELLRECORD_H

#include "files/filedigest.h"
#include "files/filestamp.h"
#include "report/qualityreport.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class ExperimentPlan;
struct DecoderOutcome;

// The files of one cell (a sequence encoded with a configuration at a QP), in the folder of
// its configuration: <folder>/<configuration>/<sequence>_QP<q> with the suffixes below. Each
// is written only by the process that holds the cell's claim (the report and record also by
// the process that makes its bitstream).
struct CellFiles
{
    QString bitstream;   // .265 for an HEVC encoder's stream, .266 for a VVC one's
    QString report;      // .json, the quality report
    QString record;      // .record, what the cell was made from and how it went (JSON)
    QString claim;       // .claim, held by the process that owns the cell
    QString log;         // .log, the job's lines and the encoder's output, run after run
    QString config;      // .cfg, the configuration the encoder gets: the configuration's, the sequence's lines
    // The cell's stem in the folder where its configuration's cells were made before (its
    // "cells" key), never written; empty when it names none.
    QString made;

    static CellFiles of(const ExperimentPlan &plan, int sequence, int configuration, int qp);
    // The files of the stem ("<folder>/<sequence>_QP<q>"), the bitstream with this suffix.
    static CellFiles at(const QString &stem, const QString &bitstreamSuffix = QStringLiteral("265"));
    // The files of the same cell where its configuration's cells were made before.
    CellFiles madeBefore() const;
};

// What a cell is made from: a finished cell is encoded again only when one of these changed.
struct CellSources
{
    QString sequence;              // absolute path
    qint64 sequenceSize = 0;
    qint64 sequenceModifiedMs = 0;
    int rawWidth = 0, rawHeight = 0, fps = 0;
    qint64 frames = -1;
    QByteArray configuration;      // the whole text the encoder gets, the sequence's lines included
    QString encoder;
    qint64 encoderSize = 0;
    qint64 encoderModifiedMs = 0;
    int qp = -1;

    // The sources of a cell of the plan as they are on disk now; *problem set when the
    // configuration cannot be read.
    static CellSources of(const ExperimentPlan &plan, int sequence, int configuration, int qp, QString *problem);
    // The sources of every cell of the plan, in the plan's order of cells, each with why they
    // cannot be read (empty where they can). Those of a sequence under one configuration differ
    // only in their QP, and are read once.
    struct OfCell;
    static QList<OfCell> ofEveryCell(const ExperimentPlan &plan);
    QJsonObject toJson() const;
    static CellSources fromJson(const QJsonObject &object);
    // What changed from `recorded` to these, in words ("the configuration's contents have
    // changed"); empty when nothing did.
    QString changedSince(const CellSources &recorded) const;
    bool operator==(const CellSources &other) const;

    // The configuration an earlier version gave the encoder of the same cell, without the
    // source keys this one adds where the configuration lacks them; empty when it adds none.
    // A record of that text fits as well: those keys say what the encoder assumed anyway.
    QByteArray earlierConfiguration;
};

struct CellSources::OfCell
{
    CellSources sources;
    QString problem;
};

// The record of a cell, written whole next to its bitstream once the cell is encoded, again
// once it is decoded, or when it failed.
struct CellRecord
{
    enum State {
        Encoded,   // bitstream and report are there; the configuration's decoder has yet to run
        Done,
        Failed
    };

    CellSources sources;
    State state = Failed;
    qint64 bitstreamBytes = 0;
    qint64 pictures = -1;          // the bitstream's, counted once it was made; -1: not recorded
    double encoderCpuSeconds = 0;  // user + system of the cell's encoders, over all its segments
    QString encodedBy;             // "node2 (process 4242)"
    // The bitstream and the report as they were written; not taken in a record of an earlier
    // version, which holds none.
    FileDigest bitstreamDigest;
    FileDigest reportDigest;
    // The report's figures, as they were worked out from it when its digest was taken: a process
    // that finds the report still of that digest takes them from here instead of reading the
    // report again (with many processes on one folder, each reads every cell another finished).
    // Kept only where every one is a number; none in a record of an earlier version.
    struct Figures
    {
        double kbitPerSecond = 0;
        double psnrY = 0;
        double psnrU = 0;
        double psnrV = 0;

        static Figures of(const ReportSummary &summary);
        // Sets these four in a summary and leaves the rest of it as it is.
        void into(ReportSummary *summary) const;
        bool finite() const;
        QJsonObject toJson() const;
        // The figures of an object that holds all four as numbers; none otherwise.
        static std::optional<Figures> fromJson(const QJsonObject &object);
    };
    std::optional<Figures> reportFigures;

    // The decoder's run, when the configuration names a decoder.
    bool decoded = false;
    FileStamp decoder;
    double decoderCpuSeconds = 0;
    qint64 decodedPictures = 0;
    qint64 hashesMatched = 0;      // pictures whose decoded-picture hash checked out
    qint64 hashesMismatched = 0;

    // A failed cell: the encoder's (or the decoder's) exit code, why, and its last lines.
    int exitCode = 0;
    QString failure;
    QStringList lastLines;

    // The record of a cell whose bitstream of `pictures` pictures is made: done, or encoded while
    // a decoder is to come.
    static CellRecord encoded(const CellSources &sources, const QString &bitstream, qint64 pictures,
                              double encoderCpuSeconds, bool decoderToCome);
    // Takes the decoder's run over the bitstream of `pictures` pictures (which carries
    // decoded-picture hashes, or not): the record is done, or failed, and then the reason is
    // returned: the decoder failed, a picture's hash did not match, it decoded not every picture,
    // or checked the hashes of not every one.
    QString takeDecode(const DecoderOutcome &outcome, const FileStamp &program, qint64 pictures, bool streamHashes);
    // Why its decode does not cover the bitstream's `pictures` pictures (a record of an earlier
    // version may hold such a decode); empty when it does.
    QString partialDecode(qint64 pictures) const;
    void fail(int code, const QString &reason, const QStringList &lines);
    // Takes the digests of the cell's bitstream and report as they are on disk now; the reason
    // when one cannot be read. The figures kept from the report before go with them.
    QString takeDigests(const CellFiles &files);
    // Keeps the figures of the report whose digest was just taken, when every one is a number.
    void keepFigures(const ReportSummary &summary);

    QJsonObject toJson() const;
    static CellRecord fromJson(const QJsonObject &object);
    // Reads a record; false when there is none (problem set when it cannot be read).
    static bool read(const QString &path, CellRecord *record, QString *problem);
    // Writes the record whole (a temporary file renamed into place); the reason on failure.
    QString write(const QString &path) const;

    // The hash check in words: "16/16 OK", "3 of 16 wrong", "no hashes", or empty when the
    // cell was not decoded.
    QString hashText() const;
};

// How a cell stands on disk against what it is to be made from now. It counts as done when
// its bitstream, report and record are there, whole, and agree: the same sources, the
// bitstream of the recorded size, a report with its figures for the bitstream's pictures, and,
// when its configuration names a decoder, that decoder's run over every picture recorded.
struct CellStanding
{
    enum Kind {
        None,          // no record: never made, or made only in part
        Done,
        NeedsDecode,   // encoded and fits, but not (or with another decoder) decoded
        Failed,        // recorded as failed, from the same sources
        Stale          // the record no longer fits: reason says why
    };
    Kind kind = None;
    QString reason;
    CellRecord record;
    qint64 pictures = -1;          // the bitstream's, when the record fits
    ReportSummary figures;         // the report's, when done or to be decoded
    bool madeBefore = false;       // done in the folder of cells made before (CellFiles::made)
    // The record's time of change (a record is renamed into place whole) by the folder's clock,
    // when one was read; -1 otherwise.
    qint64 recordChangedNs = -1;
    // Done, but its record holds no digests of its files as they are: one of an earlier version,
    // or files copied or moved since, whose contents the digests show unchanged. The runner
    // writes the digests of the files as they are into the record.
    bool digestsDue = false;
    // Why the cell found in the folder of cells made before is not used, when a record of it is
    // there ("its report … has changed since it was written"); empty otherwise.
    QString madeBeforeReason;

    // The cell done where it was made before, when it is; else as it stands in the plan's folder.
    static CellStanding of(const CellFiles &files, const CellSources &expected, const QString &decoder);

private:
    static CellStanding ofFiles(const CellFiles &files, const CellSources &expected, const QString &decoder);
    static CellStanding in(const CellFiles &files, const CellSources &expected, const QString &decoder);
};

#endif // CELLRECORD_H
