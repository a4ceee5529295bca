#ifndef INPUTPROBE_H
#define INPUTPROBE_H

#include "bitstream/outputfacts.h"
#include "jobtypes/jobtypes.h"

#include <QString>
#include <QVector>

#include <atomic>
#include <cstdint>

struct StreamInfo;

// What a job must know of a video input before it cuts it into segments: how many pictures it
// holds, their size, and what the output should show (from its first picture). Opening a
// named pipe would eat its pictures, so a pipe is never probed.
struct InputProbe
{
    QString problem;            // why the input could not be probed; then it runs in one piece
    bool unopened = false;      // the decoder cannot open it at all, which the job in one piece tells
    qint64 pictures = 0;        // the video stream's pictures; 0: not known
    bool exact = false;         // the stream's own count (not a count of its packets)
    bool counted = false;       // counted from the stream's packets, as the stream states none
    // The pictures' timestamps in the order they are shown, where the count found them usable:
    // a segment's decode seeks by them.
    QVector<qint64> times;
    int width = 0, height = 0;  // of the pictures as decoded
    OutputFacts facts;
    QString leftover;           // a raw input that is not a whole number of pictures: the line that says so

    // The pictures are looked at in the format the configuration asks the encoder to read.
    // Where the stream states no count of its own, its packets are counted (counting follows
    // the count; stop ends it).
    static InputProbe probe(const QString &path, const QString &config, std::atomic<int64_t> *counting = nullptr,
                            const std::atomic_bool *stop = nullptr);
    // A raw input: its pictures are the file's size over a picture's, as the configuration has
    // the encoder read them.
    static InputProbe probeRaw(const JobSettings &settings);

private:
    void count(const QByteArray &name, std::atomic<int64_t> *counting, const std::atomic_bool *stop);
};

#endif // INPUTPROBE_H
