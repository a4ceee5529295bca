#ifndef OFFTHREAD_H
#define OFFTHREAD_H

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QThread;

// Work done off the owner's thread, so that the owner stays responsive: each piece runs on a
// thread of its own, and its end comes back on the owner's thread, after the lines the
// libraries said meanwhile, which come first in the log. Only what the work captures crosses
// between the threads.
class OffThread : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    // Waits for the work still running, as wait() does.
    ~OffThread() override;

    // work runs on a thread of its own; done follows on the owner's thread, unless wait() came
    // first.
    void run(std::function<void()> work, std::function<void()> done);
    bool busy() const { return !threads.isEmpty(); }
    // Returns once every piece of work has ended; their ends are not heard any more.
    void wait();

signals:
    void message(const QString &line);

private:
    QList<QThread *> threads;
    bool waited = false;
};

#endif // OFFTHREAD_H
