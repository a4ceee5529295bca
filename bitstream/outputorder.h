#ifndef OUTPUTORDER_H
#define OUTPUTORDER_H

#include <QString>
#include <QtGlobal>

// Where each access unit of a stream comes in output order, worked out the way a decoder does,
// access unit by access unit in decoding order; made by the stream's codec
// (Codec::outputOrder).
class OutputOrder
{
public:
    enum Kind {
        Shown,        // a picture a decoder outputs
        Skipped,      // a picture a decoder decodes no further and does not output
        NoPicture     // an access unit without a picture (an end of sequence alone, say)
    };

    virtual ~OutputOrder() = default;

    // Reads the next access unit in decoding order (NAL units after start codes). False when
    // one of its headers cannot be read or it holds more than one picture; problem says why.
    virtual bool addAccessUnit(const char *data, qsizetype size) = 0;
    // Puts the shown pictures in output order; false when two share a place (problem says
    // which). Call once after the last access unit.
    virtual bool finish() = 0;

    virtual int units() const = 0;
    virtual int shown() const = 0;
    virtual Kind kind(int unit) const = 0;
    virtual bool isRandomAccess(int unit) const = 0;
    // The place of a shown picture in output order (0 is the first shown); -1 otherwise.
    virtual int outputPlace(int unit) const = 0;

    QString problem;
};

#endif // OUTPUTORDER_H
