#ifndef FRAMESINK_H
#define FRAMESINK_H

#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Where the decoded pictures go on their way to the encoder: a named pipe, whose writer blocks
// while the encoder is behind (so nothing is stored, whatever the input's length), or, where
// no pipe can be made, a regular file that grows while the encoder reads it, or a regular file
// written whole before the encoder starts, for an encoder that reads its input twice. Every
// wait looks at the stop flag and at the flag saying the encoder has gone, so neither hangs
// the writer.
class FrameSink
{
public:
    enum Result {
        Written,     // the whole picture went out
        Stopped,     // a stop was asked for while waiting
        ReaderGone,  // the encoder exited or closed its end
        Failed       // the write failed (errorNumber tells why); a file is cut back to whole pictures
    };

    FrameSink(const std::atomic_bool &stop, const std::atomic_bool &readerGone);
    ~FrameSink();
    FrameSink(const FrameSink &) = delete;
    FrameSink &operator=(const FrameSink &) = delete;

    // Makes a named pipe at path; false with errorNumber set where the file system has none.
    bool createPipe(const QString &path);
    // Creates (or truncates) a regular file at path for writing.
    bool createFile(const QString &path);
    // Creates a regular file at path for `bytes` bytes of pictures (0: not known in advance),
    // written whole before the encoder reads it. Refuses (false, errorNumber ENOSPC) when the
    // file system has less room than that, the room still promised to the other complete files
    // of this process counted as taken; freeBytes() then tells what there is.
    bool createCompleteFile(const QString &path, qint64 bytes);
    qint64 freeBytes() const { return available; }
    // Waits until the encoder has opened the pipe for reading.
    Result openPipe();
    Result write(const uint8_t *data, size_t size);
    void close();

    bool isPipe() const { return pipe; }
    // A size for the log: "880 kB", "1.5 MB", "61 MB" (powers of 1000).
    static QString sizeText(qint64 bytes);
    int errorNumber() const { return error; }
    QString errorText() const;

private:
    Result waitUntilWritable();
    void keepPromise(qint64 bytes);

    const std::atomic_bool &stop;
    const std::atomic_bool &readerGone;
    QString path;
    int fd = -1;
    bool pipe = false;
    int64_t whole = 0;  // bytes of whole pictures in a regular file
    int error = 0;
    qint64 promised = 0;   // room taken for a complete file and not filled yet
    qint64 available = 0;
};

#endif // FRAMESINK_H
