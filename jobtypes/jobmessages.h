#ifndef JOBMESSAGES_H
#define JOBMESSAGES_H

#include <QString>

// The lines a job prints, and the reasons its callers give, where more than one way through a
// job (in one piece, in segments) or more than one caller says the same thing: written here once.
class JobMessages
{
public:
    // How an encoder that failed ended, as a reason: "the encoder was ended by signal 9", "the
    // encoder exited with code 3".
    static QString encoderEnd(int code, bool crashed);
    // The log's line for it: `segment` names the segment ("Segment 2/4 (pictures 16 to 31)"),
    // empty for a job in one piece; `given` ("20 of 40", "20"), the pictures it was given, is
    // told when not empty. "The encoder exited with code 3 after it was given 20 of 40 pictures."
    static QString encoderEndLine(const QString &segment, int code, bool crashed, const QString &given);
    // "Encoding stopped after 20 pictures."
    static QString stoppedAfter(qint64 pictures);
    // A message of the job (made for a dialog box) as one line.
    static QString oneLine(const QString &text);
    // A reason closing a line: with a full stop, unless it ends with one of its own.
    static QString closing(const QString &reason);
};

#endif // JOBMESSAGES_H
