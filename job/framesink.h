#ifndef FRAMESINK_H
#define FRAMESINK_H

#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Where the decoded pictures go on their way to the encoder: a named pipe, whose writer blocks
// while the encoder is behind (so nothing is stored, whatever the input's length), or, where
// no pipe can be made, a regular file that grows while the encoder reads it. Every wait looks
// at the stop flag and at the flag saying the encoder has gone, so neither hangs the writer.
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
    // Waits until the encoder has opened the pipe for reading.
    Result openPipe();
    Result write(const uint8_t *data, size_t size);
    void close();

    bool isPipe() const { return pipe; }
    int errorNumber() const { return error; }
    QString errorText() const;

private:
    Result waitUntilWritable();

    const std::atomic_bool &stop;
    const std::atomic_bool &readerGone;
    QString path;
    int fd = -1;
    bool pipe = false;
    int64_t whole = 0;  // bytes of whole pictures in a regular file
    int error = 0;
};

#endif // FRAMESINK_H
