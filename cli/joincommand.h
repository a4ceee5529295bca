#ifndef JOINCOMMAND_H
#define JOINCOMMAND_H

#include <QString>
#include <QStringList>

// morlunex-cli --join OUTPUT SEGMENT...: joins separately encoded segments into one bitstream
// and returns the exit status (0, 65 a segment that cannot be joined, 66 a segment that
// cannot be read or is no regular file, 73 an output that cannot be written, exists without
// overwrite, or is one of the segments, 74 the output could not be written whole, 128 + N
// after signal N).
class JoinCommand
{
public:
    static int run(const QString &output, const QStringList &segments, bool quiet, bool overwrite);
};

#endif // JOINCOMMAND_H
