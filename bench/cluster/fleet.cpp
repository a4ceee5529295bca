#include "fleet.h"

#include <algorithm>
#include <csignal>

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

Fleet::Fleet(const QString &folder, const QStringList &environment)
    : folder(folder)
{
    QStringList names;
    for (const QString &variable : environment)
        names << variable.section(QLatin1Char('='), 0, 0) + QLatin1Char('=');
    // The first of two entries of one name is the one a program sees: the inherited one goes.
    for (char **variable = environ; *variable; ++variable) {
        const QString entry = QString::fromLocal8Bit(*variable);
        if (std::none_of(names.begin(), names.end(), [&entry](const QString &name) { return entry.startsWith(name); }))
            env.push_back(*variable);
    }
    for (const QString &variable : environment)
        env.push_back(variable.toStdString());
}

Fleet::~Fleet()
{
    killAll();
}

double Fleet::now()
{
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
}

double Fleet::start(int count, const QStringList &arguments)
{
    started = now();
    for (int i = 0; i < count; ++i)
        spawn(QStringLiteral("node%1").arg(i + 1, 2, 10, QLatin1Char('0')), arguments);
    return started;
}

bool Fleet::wait(double limitSeconds, const std::function<void()> &poll)
{
    for (;;) {
        bool running = false;
        for (Member &member : members) {
            if (member.status >= 0)
                continue;
            int status = 0;
            if (waitpid(member.pid, &status, WNOHANG) == member.pid) {
                member.end = now();
                member.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else {
                running = true;
            }
        }
        if (!running)
            return true;
        if (now() - started > limitSeconds) {
            killAll();
            return false;
        }
        if (poll)
            poll();
        usleep(20000);
    }
}

bool Fleet::has(pid_t pid) const
{
    return std::any_of(members.begin(), members.end(), [pid](const Member &member) { return member.pid == pid; });
}

void Fleet::spawn(const QString &host, const QStringList &arguments)
{
    std::vector<std::string> argv;
    for (const QString &argument : arguments)
        argv.push_back(argument.toStdString());
    // Everything the child needs is made before the fork: it only redirects and executes.
    std::vector<char *> args, envp;
    for (std::string &argument : argv)
        args.push_back(argument.data());
    args.push_back(nullptr);
    for (std::string &variable : env)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    const std::string log = QStringLiteral("%1/%2.log").arg(folder, host).toStdString();
    const std::string dir = folder.toStdString();
    const std::string name = host.toStdString();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || chdir(dir.c_str()) != 0 || unshare(CLONE_NEWUTS) != 0
            || sethostname(name.data(), name.size()) != 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    members.push_back({pid, host, pid > 0 ? 0 : now(), pid > 0 ? -1 : 127});
}

void Fleet::killAll()
{
    for (Member &member : members) {
        if (member.status >= 0 || member.pid <= 0)
            continue;
        ::kill(member.pid, SIGKILL);
        int status = 0;
        waitpid(member.pid, &status, 0);
        member.status = 128 + SIGKILL;
        member.end = now();
    }
}
