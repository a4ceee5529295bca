#ifndef PIPEINPUT_H
#define PIPEINPUT_H

// An input that is a named pipe: opened at once, without waiting for a writer, and read
// through a reader of our own that polls, so that a writer that takes its time to appear or to
// write never keeps a stop from being noticed.

struct AVIOContext;

namespace PipeInput {

bool isNamedPipe(const char *path);
// Opens the named pipe at path for reading and makes a reader of it for the demuxer, not
// seekable: *fd and *io. While the reader waits for data, interrupt(opaque) is asked every
// 100 ms; a non-zero answer ends the wait with AVERROR_EXIT. Returns 0 or an AVERROR code;
// whatever was made by then is left in *fd and *io for closePipe.
int openPipe(const char *path, int (*interrupt)(void *), void *opaque, int *fd, AVIOContext **io);
// Frees the reader and closes the pipe (the demuxer does neither); *fd is then -1, *io null.
void closePipe(int *fd, AVIOContext **io);

} // namespace PipeInput

#endif // PIPEINPUT_H
