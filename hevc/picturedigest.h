#ifndef PICTUREDIGEST_H
#define PICTUREDIGEST_H

#include <QByteArray>

struct AVFrame;

// A digest of a decoded picture's samples, plane by plane and row by row (padding left out),
// to tell whether two decodes gave the same picture.
class PictureDigest
{
public:
    // Empty for a picture of an unknown format.
    static QByteArray of(const AVFrame *frame);
};

#endif // PICTUREDIGEST_H
