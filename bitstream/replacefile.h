#ifndef REPLACEFILE_H
#define REPLACEFILE_H

#include <QString>

class QSaveFile;

// What every step that replaces a file through a QSaveFile does before the commit, so that the
// file put in place is whole on the disk and looks to its owner as the old one did.
namespace ReplaceFile {

// The data must be on the disk before the rename makes it the file; empty on success.
QString syncToDisk(QSaveFile *file);
// Gives the new file the permission bits, and where allowed the group, of the file it
// replaces (a temporary file is made 0600 or by the umask); nothing when there was none.
void keepModeOf(const QString &target, QSaveFile *file);

} // namespace ReplaceFile

#endif // REPLACEFILE_H
