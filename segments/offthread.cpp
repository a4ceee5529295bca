#include "offthread.h"

#include "bitstream/librarylog.h"

#include <QStringList>
#include <QThread>

#include <memory>

OffThread::~OffThread()
{
    wait();
}

void OffThread::run(std::function<void()> work, std::function<void()> done)
{
    // What the libraries say meanwhile is said in the log before the work's own lines.
    auto libraryLines = std::make_shared<QStringList>();
    QThread *thread = QThread::create([work = std::move(work), libraryLines] {
        const LibraryLog::Scope scope([libraryLines](const QString &line) { *libraryLines << line; });
        work();
    });
    threads << thread;
    connect(thread, &QThread::finished, this, [this, thread, libraryLines, done = std::move(done)] {
        threads.removeOne(thread);
        thread->deleteLater();
        if (waited)
            return;
        for (const QString &line : std::as_const(*libraryLines))
            emit message(line);
        done();
    });
    thread->start();
}

void OffThread::wait()
{
    waited = true;
    for (QThread *thread : std::as_const(threads)) {
        thread->disconnect(this);
        thread->wait();
        delete thread;
    }
    threads.clear();
}
