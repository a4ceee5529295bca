#ifndef GROWINGFILEREADER_H
#define GROWINGFILEREADER_H

#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>

// Reads the raw input picture by picture. A regular file may still be growing while another
// process appends to it: at the end of the data the reader waits for more without spinning
// (inotify, else short sleeps) and decides that the input has ended when no process has the
// file open for writing any more (checked in /proc every 150 ms and at once when a writer closes
// it), or, as a last resort, when the file has not grown for the quiet period. A named pipe,
// standard input ("-") or any other stream is read until its end of file, which is final.
class GrowingFileReader
{
public:
    enum Result { Picture, End, Failed };

    explicit GrowingFileReader(double quietSeconds);
    ~GrowingFileReader();
    GrowingFileReader(const GrowingFileReader &) = delete;
    GrowingFileReader &operator=(const GrowingFileReader &) = delete;

    // "-" reads standard input. Opening a named pipe waits until a writer opens it too.
    bool open(const std::string &path);
    // Fills buffer with exactly size bytes (Picture). End: the input has ended; the bytes of a
    // trailing partial picture are counted in leftoverBytes() and never returned.
    Result read(unsigned char *buffer, size_t size);

    size_t leftoverBytes() const { return leftover; }
    bool endedByQuietPeriod() const { return quietEnded; }
    const std::string &errorText() const { return message; }

private:
    using Clock = std::chrono::steady_clock;

    bool waitForGrowth();
    bool grown() const;
    bool anyWriter() const;
    void waitForEvent(int timeoutMs);

    Clock::duration quietPeriod;
    Clock::time_point lastData;
    Clock::time_point lastScan;
    int fd = -1;
    bool ownsFd = false;
    bool stream = false; // a pipe or other stream: its end of file is the end of the input
    int notifyFd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    std::string baseName;
    off_t position = 0;
    size_t leftover = 0;
    bool closeSeen = false;
    bool quietEnded = false;
    std::string message;
};

#endif // GROWINGFILEREADER_H
