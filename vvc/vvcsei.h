#ifndef VVCSEI_H
#define VVCSEI_H

// The SEI messages of a VVC SEI NAL unit, and the decoded picture hash among them: the MD5,
// CRC or checksum of each colour component of the decoded picture, as the encoder computed
// it, so that two copies of a picture can be compared without decoding either.

#include <QByteArray>
#include <QList>
#include <QString>

class VvcSei
{
public:
    enum PayloadType { DecodedPictureHash = 132 };

    struct Message
    {
        int type = 0;
        QByteArray payload;
    };
    // The messages of an SEI NAL unit (two-byte header first, escaped), up to the first that
    // does not fit.
    static QList<Message> messages(const char *nal, qsizetype size);
    // The payload of the unit's decoded picture hash message; empty without one.
    static QByteArray pictureHashPayload(const char *nal, qsizetype size);

    // A decoded picture hash: dph_sei_hash_type, dph_sei_single_component_flag, seven reserved
    // bits, then per component 16 bytes of MD5, two of CRC or four of checksum.
    struct PictureHash
    {
        enum Kind { Md5 = 0, Crc = 1, Checksum = 2 };
        int kind = -1;
        QList<QByteArray> components;   // luma first

        bool valid() const { return kind >= 0; }
        QString kindName() const;
        QString describe() const;       // e.g. "MD5 e350...,a7c3...,5a03..."
    };
    // False where the payload is not laid out as a hash of its kind.
    static bool readPictureHash(const QByteArray &payload, PictureHash *hash);
};

#endif // VVCSEI_H
