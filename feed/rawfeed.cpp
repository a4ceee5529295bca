#include "rawfeed.h"

#include "jobtypes/encoderconfigfile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads size bytes at offset; false at the file's end or on an error (errno set then).
bool readWhole(int fd, uint8_t *data, size_t size, off_t offset)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, data + done, size - done, offset + off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = 0;
            return false;
        }
        done += size_t(got);
    }
    return true;
}

} // namespace

RawFeed::Layout RawFeed::layout(int width, int height, const EncoderConfigFile &config, qint64 fileSize)
{
    Layout result;
    result.depth = config.intValue(QStringLiteral("InputBitDepth"), 8);
    result.chroma = config.intValue(QStringLiteral("InputChromaFormat"), 420);
    const qint64 luma = qint64(width) * height;
    const qint64 halfWidth = (width + 1) / 2, halfHeight = (height + 1) / 2;
    qint64 chroma = 0;
    if (result.chroma == 444)
        chroma = 2 * luma;
    else if (result.chroma == 422)
        chroma = 2 * halfWidth * height;
    else if (result.chroma != 400)
        chroma = 2 * halfWidth * halfHeight;
    result.pictureBytes = (luma + chroma) * (result.depth > 8 ? 2 : 1);
    if (result.pictureBytes > 0 && fileSize > 0) {
        result.pictures = fileSize / result.pictureBytes;
        result.leftover = fileSize % result.pictureBytes;
    }
    return result;
}

QString RawFeed::leftoverText(const QString &path, const Layout &layout, bool leftOut)
{
    return QStringLiteral("The raw input %1 holds %2 whole pictures of %3 bytes and %4 bytes more, which make no "
                          "picture%5.")
        .arg(QDir::toNativeSeparators(path)).arg(layout.pictures).arg(layout.pictureBytes).arg(layout.leftover)
        .arg(leftOut ? QStringLiteral(": they are left out") : QString());
}

int RawFeed::frameRate(const JobSettings &settings, const EncoderConfigFile &config)
{
    return settings.rawFps > 0 ? settings.rawFps : qMax(1, config.intValue(QStringLiteral("FrameRate"), 25));
}

void RawFeed::run()
{
    const QString shown = QDir::toNativeSeparators(settings.input);
    const int fd = ::open(QFile::encodeName(settings.input).constData(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        setFailure(JobResult::InputUnusable, QStringLiteral("Please open an input file first.\n%1: %2.")
                                                 .arg(shown, QString::fromLocal8Bit(std::strerror(errno))));
        if (fd >= 0)
            ::close(fd);
        return;
    }
    EncoderConfigFile config;
    config.read(settings.config);
    const Layout pictures = layout(settings.rawWidth, settings.rawHeight, config, status.st_size);
    if (pictures.leftover > 0)
        emit message(leftoverText(settings.input, pictures, true));
    pictureDepth = pictures.depth;
    pictureChroma = pictures.chroma;
    info.frameRateNum = frameRate(settings, config);
    info.frameRateDen = 1;
    info.pictureCount = pictures.pictures;
    info.pictureCountDeclared = true;
    times.timeBaseNum = 1;
    times.timeBaseDen = info.frameRateNum;
    announceCount(pictures.pictures, true, true);
    if (settings.startPicture > 0 && settings.startPicture >= pictures.pictures) {
        inputEnded = true;
        startPastEnd(pictures.pictures);
    } else if (!feed(fd, pictures)) {
        setFailure(JobResult::InputUnusable,
                   QStringLiteral("Cannot read the raw input %1:\n%2.").arg(shown, QString::fromLocal8Bit(std::strerror(errno))));
    }
    ::close(fd);
    finishSink();
    if (written == 0 && !sink && failure() == JobResult::NoFailure && !stopRequested)
        setFailure(JobResult::InputUnusable, QStringLiteral("No picture could be read from %1.").arg(shown));
}

// Hands over the pictures from the start picture on, up to the limit or the file's last whole
// picture; false when the file could not be read.
bool RawFeed::feed(int fd, const Layout &pictures)
{
    buffer.resize(size_t(pictures.pictureBytes));
    const int width = settings.rawWidth, height = settings.rawHeight;
    for (qint64 index = firstRead(); !stopRequested; ++index) {
        if (readLimit() >= 0 && written >= readLimit())
            return true;
        if (index >= pictures.pictures) {
            inputEnded = true;
            return true;
        }
        if (!readWhole(fd, buffer.data(), buffer.size(), off_t(index * pictures.pictureBytes))) {
            // A file cut short while it is read ends where it ends; what it holds now tells the
            // job whether pictures other runs read before are still there.
            inputEnded = errno == 0;
            struct stat now;
            if (inputEnded && ::fstat(fd, &now) == 0) {
                const qint64 holds = now.st_size / pictures.pictureBytes;
                // Cut short before this run's first picture: it has none, as for a start
                // past the end, and the job's plan shrinks.
                if (settings.startPicture >= holds)
                    startPastEnd(holds);
                else
                    foundInputPictures(holds);
            }
            return inputEnded;
        }
        if (!sink && !openSink(width, height, width, height, pictures.pictureBytes))
            return true;
        if (!writePicture(buffer.data(), buffer.size()))
            return true;
        if (isOwn(written - 1))
            times.times.append(index);
        emit picturesWritten(written);
        if (!launchWhenDue())
            return true;
    }
    return true;
}
