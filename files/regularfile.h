#ifndef REGULARFILE_H
#define REGULARFILE_H

#include <QString>

class QFile;

// A file that someone else named, opened for reading only when it is a regular file: a named
// pipe is refused, never waited on (opening it would wait for a writer that may never come),
// and so are folders, devices and sockets.
namespace RegularFile {

// Opens the file into `file`; empty on success, else why not (the system's reason, or what
// the name is instead of a regular file).
QString open(const QString &path, QFile *file);

} // namespace RegularFile

#endif // REGULARFILE_H
