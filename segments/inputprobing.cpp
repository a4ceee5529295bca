#include "inputprobing.h"

#include "offthread.h"

#include <QTimer>

InputProbing::InputProbing(const JobSettings &settings, const QElapsedTimer &jobClock, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , ticker(jobClock)
    , helper(new OffThread(this))
{
    connect(helper, &OffThread::message, this, &InputProbing::message);
}

InputProbing::~InputProbing()
{
    abort();
}

void InputProbing::start()
{
    auto probe = std::make_shared<InputProbe>();
    const JobSettings job = settings;
    const auto count = counted;
    const auto stop = stopRequested;
    countTimer = new QTimer(this);
    connect(countTimer, &QTimer::timeout, this, &InputProbing::reportCounting);
    countTimer->start(250);
    helper->run([job, probe, count, stop] {
        const bool raw = job.rawWidth != 0 && job.rawHeight != 0;
        *probe = raw ? InputProbe::probeRaw(job) : InputProbe::probe(job.input, job.config, count.get(), stop.get());
    }, [this, probe] {
        delete countTimer;
        countTimer = nullptr;
        emit probed(*probe);
    });
}

void InputProbing::abort()
{
    *stopRequested = true;
    helper->wait();
    delete countTimer;
    countTimer = nullptr;
}

bool InputProbing::isRunning() const
{
    return helper->busy();
}

// The count of the input's pictures, while it runs, as a step of its own.
void InputProbing::reportCounting()
{
    const qint64 now = *counted;
    if (now < 0)
        return;
    JobProgress progress;
    progress.counting = true;
    progress.counted = now;
    progress.elapsedSeconds = ticker.seconds();
    emit progressChanged(progress);
}
