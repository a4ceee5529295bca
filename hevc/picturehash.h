#ifndef PICTUREHASH_H
#define PICTUREHASH_H

#include <QByteArray>
#include <QString>

struct AVFrame;

// The decoded picture hash of a picture, computed from its decoded samples as an encoder
// computes the one it writes into the picture's SEI message: an MD5, a CRC or a checksum of
// each colour component, over the whole coded picture (not cropped), samples of more than 8
// bits as two bytes, the lower first.
class PictureHash
{
public:
    enum Kind { Md5 = 0, Crc = 1, Checksum = 2 };

    // "MD5", "CRC", "checksum"; empty for a kind the message cannot have.
    static QString kindName(int kind);
    // The payload of a decoded picture hash message of this kind for the picture, its
    // hash_type byte first; empty for a kind or a sample format it does not know.
    static QByteArray payload(const AVFrame *picture, int kind);
};

#endif // PICTUREHASH_H
