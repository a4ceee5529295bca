#ifndef BITREADER_H
#define BITREADER_H

#include <QtGlobal>

// Reads the bits of an RBSP, skipping the emulation prevention bytes (00 00 03) on the way.
class BitReader
{
public:
    BitReader(const char *data, qsizetype size) : data(reinterpret_cast<const uchar *>(data)), size(size) {}

    bool failed() const { return overrun; }
    // How many bits of the RBSP were read (emulation prevention bytes do not count).
    qint64 position() const { return consumed; }

    quint32 bits(int count)
    {
        quint32 value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 1) | bit();
        return value;
    }

    quint32 ue()
    {
        int zeros = 0;
        while (!bit()) {
            if (overrun || ++zeros > 31) {
                overrun = true;
                return 0;
            }
        }
        return zeros ? ((1u << zeros) - 1) + bits(zeros) : 0;
    }

    void skip(int count)
    {
        for (int i = 0; i < count; ++i)
            bit();
    }

private:
    quint32 bit()
    {
        if (bitPos == 0) {
            if (pos >= size) {
                overrun = true;
                return 0;
            }
            if (zeroRun >= 2 && data[pos] == 3) {
                zeroRun = 0;
                if (++pos >= size) {
                    overrun = true;
                    return 0;
                }
            }
            current = data[pos++];
            zeroRun = current == 0 ? zeroRun + 1 : 0;
            bitPos = 8;
        }
        --bitPos;
        ++consumed;
        return (current >> bitPos) & 1;
    }

    const uchar *data;
    qsizetype size;
    qsizetype pos = 0;
    int bitPos = 0;
    int zeroRun = 0;
    uchar current = 0;
    bool overrun = false;
    qint64 consumed = 0;
};

#endif // BITREADER_H
