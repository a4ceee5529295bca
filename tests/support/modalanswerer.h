#ifndef MODALANSWERER_H
#define MODALANSWERER_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>

// What a test saw of one modal widget before it was answered.
struct ShownModal
{
    QString className;  // "QMessageBox", "QFileDialog", or the dialog's class
    QString title;
    QString text;       // message box text; for a file dialog the folder it opened in
    QString detail;     // message box button texts; for a file dialog its name filters
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Answers modal boxes and dialogs from a timer, the way a user would, while the code
// under test sits in the nested event loop of exec(). Each modal widget that appears is
// recorded and given to the next queued handler; with an empty queue the fallback runs
// (by default: message boxes get their default or only button pressed, other dialogs
// are rejected) so that a test never hangs on an unexpected box.
class ModalAnswerer : public QObject
{
public:
    using Handler = std::function<void(QWidget *)>;

    explicit ModalAnswerer(QObject *parent = nullptr);

    void enqueue(Handler handler);
    // Presses this button of the next message box.
    void pressButton(QMessageBox::StandardButton button);
    // Chooses this file in the next file dialog; an empty path cancels it.
    void chooseFile(const QString &path);
    void setFallback(Handler handler) { fallback = std::move(handler); }

    // Runs the event loop until n modal widgets have been answered in all (or the time is up).
    bool waitForCount(int n, int timeoutMs = 30000);
    // Runs the event loop until a box with this title was answered (or the time is up).
    bool waitForTitle(const QString &title, int timeoutMs = 30000);
    int count(const QString &title) const;

    QList<ShownModal> shown;

    static void defaultAnswer(QWidget *widget);

private:
    void poll();

    QTimer timer;
    QList<Handler> queue;
    Handler fallback;
    QPointer<QWidget> lastHandled;
};

#endif // MODALANSWERER_H
