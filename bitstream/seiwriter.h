#ifndef SEIWRITER_H
#define SEIWRITER_H

// SEI messages, whose syntax every codec here shares: the payloads of the static HDR metadata,
// the RBSP that carries messages (each message's type and size, the trailing bits), and the
// messages read back from an SEI NAL unit. The unit's header is its codec's.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QtGlobal>

// The mastering display colour volume as the SEI message carries it: chromaticities in steps
// of 0.00002, the primaries in the order green, blue, red; luminance in steps of 0.0001 cd/m2.
struct MasteringDisplay
{
    quint16 primariesX[3] = {}, primariesY[3] = {};
    quint16 whitePointX = 0, whitePointY = 0;
    quint32 maxLuminance = 0, minLuminance = 0;
};

// The content light level information, in cd/m2.
struct ContentLightLevel
{
    quint16 maxContentLight = 0;
    quint16 maxPictureAverageLight = 0;
};

class SeiWriter
{
public:
    enum PayloadType {
        MasteringDisplayColourVolume = 137,
        DecodedPictureHash = 132,
        ContentLightLevelInfo = 144,
    };
    using Message = QPair<int, QByteArray>;   // payload type, payload

    static QByteArray payload(const MasteringDisplay &display);
    static QByteArray payload(const ContentLightLevel &light);
    // The RBSP of an SEI NAL unit holding the messages in order, trailing bits included, not
    // yet escaped.
    static QByteArray rbsp(const QList<Message> &messages);
    // Inserts an emulation prevention byte (03) wherever two zero bytes would be followed by a
    // byte of 03 or less, so that no start code can appear inside a NAL unit.
    static QByteArray escape(const QByteArray &rbsp);
    // The messages of an SEI NAL unit (its two-byte header first, as in the stream): their payload types
    // and payloads, up to the first message that does not fit, and whether the unit is whole:
    // every message fits, and the byte with the stop bit follows the last.
    struct Messages
    {
        QList<int> types;
        QList<QByteArray> payloads;
        bool whole = false;
    };
    static Messages messages(const char *nal, qsizetype size);
    static QList<int> payloadTypes(const char *nal, qsizetype size);
};

#endif // SEIWRITER_H
