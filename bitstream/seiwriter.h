#ifndef SEIWRITER_H
#define SEIWRITER_H

// Writes HEVC SEI messages: the payloads of the static HDR metadata, and prefix SEI NAL units
// that carry them (header, messages, RBSP trailing bits, emulation prevention), ready to go
// into a byte stream after a start code.

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
    // A prefix SEI NAL unit of layer 0 holding the messages in order: its two-byte header and
    // the escaped RBSP, without a start code.
    static QByteArray prefixNalUnit(const QList<Message> &messages, int temporalIdPlus1 = 1);
    // Inserts an emulation prevention byte (03) wherever two zero bytes would be followed by a
    // byte of 03 or less, so that no start code can appear inside a NAL unit.
    static QByteArray escape(const QByteArray &rbsp);
    // The messages of an SEI NAL unit (header first, as in the stream): their payload types
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
