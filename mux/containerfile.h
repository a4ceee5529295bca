#ifndef CONTAINERFILE_H
#define CONTAINERFILE_H

// The output file of a mux: a hidden temporary file beside the target, written by the
// container's muxer (streams and metadata first, then the header, the packets in interleaved
// order and the trailer), which replaces the target only once complete and on the disk. A packet
// the muxer refuses costs only itself, unless the file itself fails (a full disk); the file
// counts what it was handed and what it wrote of each stream, so that the end tells whose
// packets were lost.

#include "containerformat.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

struct AVFormatContext;
struct AVPacket;

class ContainerFile
{
public:
    ContainerFile(const QString &target, const ContainerFormat &format);
    // Removes the temporary file unless it replaced the target.
    ~ContainerFile();
    ContainerFile(const ContainerFile &) = delete;
    ContainerFile &operator=(const ContainerFile &) = delete;

    // Creates the temporary file and the muxer; empty on success, else why not.
    QString create();
    // Where the streams, the file's metadata and its chapters go before the header.
    AVFormatContext *context() const { return output.get(); }
    QString writeHeader();
    // Hands a packet, timed in from, to the muxer for its stream (packet->stream_index).
    QString write(AVPacket *packet, AVRational from);
    // Writes what the muxer still holds and the file's index.
    QString finish();

    qint64 handed(int stream) const;
    qint64 written(int stream) const;
    bool refusedAny() const { return !refusalList.isEmpty(); }
    // Why the muxer refused packets, each reason once.
    QString refusals() const { return refusalList.join(QStringLiteral("; ")); }

    // Closes the file and puts it in the target's place; empty on success, else why not.
    QString commit();

    // Creates an empty file beside path, hidden, named after it with a random part and the
    // suffix, with the permissions a new file gets; returns its path, or an empty string with
    // *problem set.
    static QString createHiddenSibling(const QString &path, const QString &suffix, QString *problem);

private:
    struct OutputDeleter
    {
        void operator()(AVFormatContext *context) const;
    };

    QString refused(int code);
    QString writeFailure(int code) const;

    const QString target;
    const ContainerFormat format;
    QString temporary;
    std::unique_ptr<AVFormatContext, OutputDeleter> output;
    std::vector<qint64> handedBy;   // by stream
    qint64 handedInAll = 0;
    QStringList refusalList;
};

#endif // CONTAINERFILE_H
