#ifndef LIBRARYLOG_H
#define LIBRARYLOG_H

#include <QString>

#include <functional>

// Where the lines that FFmpeg's libraries log go: never straight to the terminal, but into the
// log of the work that caused them. A thread doing such work holds a Scope, whose sink gets
// each warning or error logged on that thread once, as one line; lines logged on a thread
// without a scope, and notes below a warning, are dropped.
namespace LibraryLog {

using Sink = std::function<void(const QString &line)>;

// Whether a line of a log is one of the libraries' (as a sink gets them).
bool isLibraryLine(const QString &line);

// Takes over FFmpeg's log for the whole process; called by every Scope, harmless to repeat.
void install();

class Scope
{
public:
    explicit Scope(Sink sink);
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

    struct State;

private:
    State *state;
    State *outer;
};

} // namespace LibraryLog

#endif // LIBRARYLOG_H
