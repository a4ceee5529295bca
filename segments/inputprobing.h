#ifndef INPUTPROBING_H
#define INPUTPROBING_H

#include "jobtypes/jobtypes.h"
#include "jobtypes/progressticker.h"
#include "segments/inputprobe.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <memory>

class OffThread;
class QTimer;

// The input looked at before it is cut into segments, off the owner's thread: its pictures,
// their size, what the output should show. Where its video stream states no picture count of
// its own, its packets are counted, and the count so far is shown as progress while it runs.
class InputProbing : public QObject
{
    Q_OBJECT

public:
    InputProbing(const JobSettings &settings, const QElapsedTimer &jobClock, QObject *parent = nullptr);
    // Ends a probe still running and waits for it, as abort() does.
    ~InputProbing() override;

    void start();
    // A count still running ends early; probed() follows.
    void stop() { *stopRequested = true; }
    // As stop(), but returns once the probe has ended, without probed().
    void abort();
    bool isRunning() const;

signals:
    // While the pictures are counted: how many so far.
    void progressChanged(const JobProgress &progress);
    // What the libraries said on the way.
    void message(const QString &line);
    void probed(const InputProbe &probe);

private:
    void reportCounting();

    const JobSettings settings;
    const ProgressTicker ticker;
    // The count of the input's pictures while it runs (-1: not counting), and its stop.
    std::shared_ptr<std::atomic<int64_t>> counted = std::make_shared<std::atomic<int64_t>>(-1);
    std::shared_ptr<std::atomic_bool> stopRequested = std::make_shared<std::atomic_bool>(false);
    QTimer *countTimer = nullptr;
    OffThread *helper = nullptr;
};

#endif // INPUTPROBING_H
