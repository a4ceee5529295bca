#ifndef RBSP_H
#define RBSP_H

// The payload of a NAL unit with and without its emulation prevention bytes (the 03 put after
// two zero bytes so that no start code appears inside a unit), and bits rewritten in place in
// an escaped payload.

#include <QByteArray>
#include <QtGlobal>

class Rbsp
{
public:
    // The payload without its emulation prevention bytes.
    static QByteArray unescape(const char *data, qsizetype size);
    // Inserts an emulation prevention byte wherever two zero bytes would be followed by a byte
    // of 03 or less, so that no start code can appear inside a NAL unit; with atEnd, also after
    // two last zero bytes, which the byte stream would otherwise count as its own.
    static QByteArray escape(const QByteArray &rbsp, bool atEnd = false);

    // A change to escaped bytes: replace `length` bytes from `from` by `bytes`.
    struct Edit
    {
        qsizetype from = 0;
        qsizetype length = 0;
        QByteArray bytes;
    };
    // Writes `value` into the `count` bits (at most 32) that start `bitOffset` bits into the
    // RBSP of escaped bytes. The edit touches only the bytes around the field, escaped anew:
    // the bytes before and after are kept as they are, so the edit may add or take away
    // emulation prevention bytes but never changes anything else. `whole` says that the bytes
    // are the payload to its end (else they are its beginning only). False when the field, or
    // the bytes that settle its escaping, lie beyond the bytes given, or when the payload would
    // end in zero bytes that no escaping keeps.
    static bool replaceBits(const QByteArray &escaped, bool whole, qint64 bitOffset, int count, quint32 value,
                            Edit *edit);
};

#endif // RBSP_H
