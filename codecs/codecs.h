#ifndef CODECS_H
#define CODECS_H

#include "bitstream/codec.h"

#include <QList>
#include <QString>
#include <QStringList>

class QFile;

// Which codec a stream is, told by its content, never by a file's name: the first NAL unit
// near its start that a known codec claims as one of its parameter sets. Every caller that
// reads or writes a stream asks here which codec answers for it.
class Codecs
{
public:
    // Every codec known here.
    static QList<const Codec *> all();
    // The codec of the stream whose first bytes these are; nullptr when none claims it.
    static const Codec *recognise(const char *data, qsizetype size);
    // The codec of the stream in the file; nullptr when none claims it (no byte stream, no
    // parameter set near its start, a file that cannot be read, or no regular file: a named
    // pipe is never waited on).
    static const Codec *recognise(const QString &path);
    // The same of a file open for reading, which is left at its start.
    static const Codec *recognise(QFile *file);
    // The codec of the stream in the file, or the program's own (HEVC) where none claims it,
    // so that what is wrong with such a file is told by that codec's reader.
    static const Codec &of(const QString &path);
    static const Codec &fallback();

    // The codec an encoder writes, decided before it runs, the one place that decides it: VVC
    // where its configuration names a key only the VVC reference encoder reads, or where the
    // program (links followed) is that encoder's, EncoderApp; HEVC otherwise.
    static const Codec &ofEncoder(const QString &encoder, const QStringList &configKeys);
    // The programs a stream of the codec is decoded with: none where FFmpeg decodes it; else
    // the decoder the user named, or else the codec's reference decoder beside the encoder
    // program (DecoderApp for VVC), where there is one.
    static Codec::Tools toolsFor(const Codec &codec, const QString &encoder, const QString &decoder = QString());
};

#endif // CODECS_H
