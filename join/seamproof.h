#ifndef SEAMPROOF_H
#define SEAMPROOF_H

#include "bitstream/codec.h"

#include <QByteArray>
#include <QString>

#include <atomic>

// Whether the two copies of a seam's boundary picture (the earlier segment's last picture, the
// later segment's first) decode to the same picture: the same decoded picture hash where both
// carry one of the same kind (MD5, CRC or checksum), else the same samples when each intra
// picture is decoded on its own by its codec (Codec::decodeAlone).
class SeamProof
{
public:
    // One copy: its access unit in a segment file, the parameter sets it is decoded with (each
    // after a start code) and the payload of its decoded picture hash SEI (empty without).
    struct Copy
    {
        QString path;
        qint64 start = 0, end = 0;
        QByteArray sets;
        QByteArray hash;
    };

    // Empty when the copies are proven to be the same picture; otherwise why not, saying
    // which copy where one cannot be decoded. A stopped proof returns "stopped".
    static QString problem(const Codec &codec, const Codec::Tools &tools, const Copy &earlier, const Copy &later,
                           const std::atomic_bool *stop = nullptr);
};

#endif // SEAMPROOF_H
