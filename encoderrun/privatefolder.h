#ifndef PRIVATEFOLDER_H
#define PRIVATEFOLDER_H

#include <QString>

#include <memory>

class QTemporaryDir;

// A run's private folder in the temporary folder, for its frame file and its encoder's side
// files. The process number in its name tells a folder whose process has gone, which a
// later job removes (a job killed outright cannot remove its own).
class PrivateFolder
{
public:
    PrivateFolder();
    // Removes the folder with what is in it.
    ~PrivateFolder();

    // Makes the folder, unless it is made already; false with the line that says why it
    // cannot be.
    bool make(QString *problem);
    bool exists() const { return dir != nullptr; }
    // Absolute: the encoder may run in another folder than this process.
    QString path() const;
    // Removes the folder with what is in it.
    void remove();

    // Removes the private folders that processes no longer alive left in the temporary folder:
    // their files, then the folder. A reader still waiting to open a picture pipe there is
    // given the end of its input first, so that it ends.
    static void sweepAbandoned();

private:
    std::unique_ptr<QTemporaryDir> dir;
};

#endif // PRIVATEFOLDER_H
