#ifndef OUTPUTGUARD_H
#define OUTPUTGUARD_H

#include <QList>
#include <QString>

// What the job checks about the encoder's output around the encoder's run: whether this run
// wrote it at all (an encoder that exits 0 without writing would leave an earlier run's file
// standing as the result), and whether some process still has it open for writing (an
// encoder's child carrying on after the encoder exited).
namespace OutputGuard {

// The identity and state of a file at one moment.
struct Stamp
{
    bool exists = false;
    quint64 device = 0, inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
};

Stamp stamp(const QString &path);
// Whether the file at path is another file, or the same file written to, since `before`.
bool changedSince(const Stamp &before, const QString &path);
// The processes (other than this one) that hold the file open for writing; empty where the
// system does not tell.
QList<qint64> writersOf(const QString &path);
// Waits up to timeoutMs for the writers of the file to close it; returns those that remain.
QList<qint64> waitForWriters(const QString &path, int timeoutMs);

} // namespace OutputGuard

#endif // OUTPUTGUARD_H
