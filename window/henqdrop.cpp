#include "henq.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeData>
#include <QUrl>

// Files dropped on the window.

namespace {

// The file a drag carries for the input, or an empty string when the window does not take it.
// The first URL decides: it must name an existing local file (a folder, a remote address or
// a missing file is refused).
QString droppedFile(const QMimeData *mimeData)
{
    if (!mimeData || !mimeData->hasUrls())
        return QString();
    const QList<QUrl> urls = mimeData->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile())
        return QString();
    const QString path = urls.first().toLocalFile();
    return QFileInfo(path).isFile() ? path : QString();
}

// The window only reads the dropped file's name. A move would tell the source to delete the
// file once the drop is done, so only a copy or a link is ever accepted.
Qt::DropAction nonDestructiveAction(Qt::DropActions possible)
{
    if (possible & Qt::CopyAction)
        return Qt::CopyAction;
    if (possible & Qt::LinkAction)
        return Qt::LinkAction;
    return Qt::IgnoreAction;
}

// A plan is a small text file; anything larger is no plan, and is not read whole to find out.
constexpr qint64 largestPlan = 16 << 20;

} // namespace

bool HenQ::isExperimentPlan(const QString &path)
{
    QFile file(path);
    if (file.size() > largestPlan || !file.open(QIODevice::ReadOnly))
        return false;
    // A video starts with binary bytes: only what opens as text like JSON is parsed.
    const QByteArray start = file.peek(64).trimmed();
    if (!start.startsWith('{'))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    return document.isObject() && document.object().contains(QLatin1String("sequences"))
        && document.object().contains(QLatin1String("configurations"));
}

void HenQ::dragEnterEvent(QDragEnterEvent *event)
{
    const Qt::DropAction action = nonDestructiveAction(event->possibleActions());
    if (action == Qt::IgnoreAction || droppedFile(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(action);
    event->accept();
}

void HenQ::dropEvent(QDropEvent *event)
{
    const Qt::DropAction action = nonDestructiveAction(event->possibleActions());
    const QString path = droppedFile(event->mimeData());
    if (action == Qt::IgnoreAction || path.isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(action);
    event->accept();
    // Taken from the event loop once the drop has returned: the raw YUV dialog or a warning
    // may open, and the drag's source waits for the drop to finish until then.
    if (isExperimentPlan(path)) {
        QMetaObject::invokeMethod(this, [this, path] { emit experimentDropped(path); }, Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(this, [this, path] { chooseInput(path); }, Qt::QueuedConnection);
}
