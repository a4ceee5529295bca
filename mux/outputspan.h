#ifndef OUTPUTSPAN_H
#define OUTPUTSPAN_H

// The part of the input an output covers, in the pictures' time base: where the input's other
// streams and chapters are cut (at an end that is cut), and the input's time that becomes the
// output's zero.

#include <QtGlobal>

extern "C" {
#include <libavutil/rational.h>
}

struct OutputSpan
{
    AVRational base{1, 25};
    qint64 origin = 0;
    qint64 start = 0, end = 0;
    bool cutStart = false, cutEnd = false;
};

#endif // OUTPUTSPAN_H
