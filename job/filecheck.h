#ifndef FILECHECK_H
#define FILECHECK_H

#include <QString>

// Checks made before any work starts, so that a wrong path is reported at once, in one line,
// instead of after the input has been opened and the encoder started. Each returns why the
// file cannot be used as asked (the system's reason, e.g. "No such file or directory"), or
// an empty string when it can.
namespace FileCheck {

QString readProblem(const QString &path);
QString runProblem(const QString &path);
// A file to be created or replaced: its folder must exist and take new files, and the file,
// if it is there, must be a writable file.
QString writeProblem(const QString &path);

} // namespace FileCheck

#endif // FILECHECK_H
