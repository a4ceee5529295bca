#ifndef JOINCOMMAND_H
#define JOINCOMMAND_H

#include <QString>
#include <QStringList>

// morlunex-cli --join OUTPUT SEGMENT...: joins separately encoded segments into one bitstream
// and returns the exit status (0, 65 a segment that cannot be joined, 66 a segment that
// cannot be read, 73 an output that cannot be written or is one of the segments).
class JoinCommand
{
public:
    static int run(const QString &output, const QStringList &segments, bool quiet);
};

#endif // JOINCOMMAND_H
