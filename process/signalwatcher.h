#ifndef SIGNALWATCHER_H
#define SIGNALWATCHER_H

#include <QList>
#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into the Qt signal caught(), emitted on the thread that
// created the watcher, so that a program ends through its event loop (and its destructors)
// instead of dying wherever the signal finds it. Typical use in main, after the application
// object exists:
//
//     SignalWatcher watcher;
//     QObject::connect(&watcher, &SignalWatcher::caught, &app,
//                      [](int signalNumber) { QCoreApplication::exit(128 + signalNumber); });
//     return app.exec();
//
// The handler only writes the signal number into a pipe (async-signal-safe); a socket
// notifier reads it back in the event loop. While a watcher lives the three signals no longer
// end the process by themselves; destroying the last watcher restores what was there before
// the first. A signal that was ignored when the first watcher came (a program started with
// nohup, or in the background of a non-interactive shell) stays ignored. Several watchers may
// live at once; each reports every signal. Child processes start with the default handling.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    // False when the watcher could not be set up; the signals then keep their former effect.
    bool isValid() const { return notifier != nullptr; }
    // Readable while a caught signal waits for the event loop, for code that waits outside it
    // (in poll()) and must return to it when a signal comes; -1 when not valid. Only polled:
    // reading it would take the signal away from caught().
    int pendingDescriptor() const { return notifier ? readFd : -1; }

    static QList<int> watchedSignals();

signals:
    void caught(int signalNumber);

private:
    void readPending();

    int readFd = -1;
    int writeFd = -1;
    int slot = -1;
    QSocketNotifier *notifier = nullptr;
};

#endif // SIGNALWATCHER_H
