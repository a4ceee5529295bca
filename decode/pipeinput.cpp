#include "pipeinput.h"

#include "avowners.h"

#include <cerrno>
#include <memory>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {

// What the reader needs: the pipe, and whom to ask whether to stop waiting.
struct PipeSource
{
    int fd;
    int (*interrupt)(void *);
    void *opaque;
};

// Before any writer has come, poll() reports nothing; once the last writer has gone, read()
// gives 0, the end of input.
int readPipe(void *opaque, uint8_t *buffer, int size)
{
    const PipeSource *source = static_cast<const PipeSource *>(opaque);
    for (;;) {
        if (source->interrupt(source->opaque))
            return AVERROR_EXIT;
        pollfd watched = {source->fd, POLLIN, 0};
        const int ready = poll(&watched, 1, 100);
        if (ready < 0 && errno != EINTR)
            return AVERROR(errno);
        if (ready <= 0)
            continue;
        const ssize_t got = read(source->fd, buffer, static_cast<size_t>(size));
        if (got > 0)
            return static_cast<int>(got);
        if (got == 0)
            return AVERROR_EOF;
        if (errno != EAGAIN && errno != EINTR)
            return AVERROR(errno);
    }
}

} // namespace

bool PipeInput::isNamedPipe(const char *path)
{
    struct stat info;
    return stat(path, &info) == 0 && S_ISFIFO(info.st_mode);
}

int PipeInput::openPipe(const char *path, int (*interrupt)(void *), void *opaque, int *fd,
                        AVIOContext **io)
{
    *fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0)
        return AVERROR(errno);
    const int bufferSize = 1 << 16;
    std::unique_ptr<PipeSource> source(new (std::nothrow) PipeSource{*fd, interrupt, opaque});
    AvOwners::MemoryPtr<unsigned char> buffer(static_cast<unsigned char *>(av_malloc(bufferSize)));
    if (source && buffer)
        *io = avio_alloc_context(buffer.get(), bufferSize, 0, source.get(), readPipe, nullptr, nullptr);
    if (!*io)
        return AVERROR(ENOMEM);
    // The reader owns both from now on; closePipe frees them.
    buffer.release();
    source.release();
    (*io)->seekable = 0;
    return 0;
}

void PipeInput::closePipe(int *fd, AVIOContext **io)
{
    if (*io) {
        delete static_cast<PipeSource *>((*io)->opaque);
        av_freep(&(*io)->buffer);
        avio_context_free(io);
    }
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}
