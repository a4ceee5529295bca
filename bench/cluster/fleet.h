#ifndef FLEET_H
#define FLEET_H

#include <QString>
#include <QStringList>

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

// The simulated cluster's processes: each started under a host name of its own, as
// `unshare --uts sh -c 'hostname NAME && exec PROGRAM ...'` would, but with no program between
// the fork and PROGRAM (whose start is what is timed; the process number is its own), in one
// folder, its output in NAME.log there, and killed should the harness go first or the processes
// outlast their time.
class Fleet
{
public:
    struct Member
    {
        pid_t pid = 0;
        QString host;       // node01, node02, ...
        double end = 0;     // now() when it was seen to end
        int status = -1;    // its exit status, or 128 + the signal that ended it; -1 while it runs
    };

    // environment: NAME=VALUE entries added to (or replacing) this process's own.
    Fleet(const QString &folder, const QStringList &environment);
    ~Fleet();
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;

    // Starts `count` processes of `arguments` (the program first); the wall clock at the start.
    double start(int count, const QStringList &arguments);
    // Waits for every process to end, calling `poll` meanwhile; false when they outlast
    // `limitSeconds` after the start, and then every one is killed.
    bool wait(double limitSeconds, const std::function<void()> &poll = {});

    const std::vector<Member> &all() const { return members; }
    bool has(pid_t pid) const;

    // The wall clock in seconds since the epoch, as the stand-in's log and the counter write it.
    static double now();

private:
    void spawn(const QString &host, const QStringList &arguments);
    void killAll();

    QString folder;
    std::vector<std::string> env;
    std::vector<Member> members;
    double started = 0;
};

#endif // FLEET_H
