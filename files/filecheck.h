#ifndef FILECHECK_H
#define FILECHECK_H

#include <QString>

// Checks made before any work starts, so that a wrong path is reported at once, in one line,
// instead of after the input has been opened and the encoder started. Shared by the job and
// the command-line program. Each returns why the
// file cannot be used as asked (the system's reason, e.g. "No such file or directory"), or
// an empty string when it can.
namespace FileCheck {

QString readProblem(const QString &path);
QString runProblem(const QString &path);
// A file to be created or replaced: its folder must exist and take new files, and the file,
// if it is there, must be a writable file (a link that leads nowhere it can be written, such
// as a loop of links, is named so).
QString writeProblem(const QString &path);
// A file to be read whole without waiting: it must be a regular file, not a named pipe.
QString regularFileProblem(const QString &path);
// A folder to be read: why it cannot be, saying what the path is instead ("it is not there",
// "it is a named pipe, not a folder", "it is a link to /x, which is not there"); empty when
// it is a folder that can be listed.
QString folderProblem(const QString &path);
// Whether two names lead to one file, through symbolic and hard links alike (the same device
// and inode); for a name that does not exist yet, whether both resolve to one path.
bool sameFile(const QString &first, const QString &second);

} // namespace FileCheck

#endif // FILECHECK_H
