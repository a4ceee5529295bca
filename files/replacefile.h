#ifndef REPLACEFILE_H
#define REPLACEFILE_H

#include <QByteArray>
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
// Writes bytes as the whole file at path: under a temporary name, unbuffered (a write that
// fails only when a buffer is flushed at the commit would go unnoticed, and a cut-short file
// would take the name), synced, with the mode of the file it replaces, then renamed into place.
// The system's reason when it cannot ("No space left on device"); the file at path is then as
// it was and no temporary file stays behind.
QString writeWhole(const QString &path, const QByteArray &bytes);
// Moves the file `from` to the first of "<stem><suffix>", "<stem>.1<suffix>", "<stem>.2<suffix>"
// ... that does not exist yet, never over a file that is there, and returns that name; empty
// when it cannot be moved (then *problem says why and `from` stays where it was).
QString moveToFreeName(const QString &from, const QString &stem, const QString &suffix, QString *problem);

} // namespace ReplaceFile

#endif // REPLACEFILE_H
