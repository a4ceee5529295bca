#ifndef STDERRCAPTURE_H
#define STDERRCAPTURE_H

#include <string>

// Catches what is written to standard error while it lives, so that a library which only logs
// there (x265 has no log callback) can have its reasons repeated elsewhere. The text is kept in
// an anonymous memory file, which cannot fill up and block the writer as a pipe could; finish()
// puts standard error back and passes the caught text on to it unchanged.
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Ends the capture (once; later calls return an empty text) and returns what was caught.
    std::string finish();

private:
    int savedFd = -1;
    int captureFd = -1;
};

#endif // STDERRCAPTURE_H
