#ifndef URLRECORDER_H
#define URLRECORDER_H

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

// Receives the URLs that the code under test hands to the desktop.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void openUrl(const QUrl &url) { urls << url; }
};

// Routes one URL scheme to a receiver's method while the object lives. A method name that
// the receiver lacks makes QDesktopServices::openUrl report failure, as a desktop without
// a handler for the scheme would.
class ScopedUrlHandler
{
public:
    ScopedUrlHandler(const QString &scheme, QObject *receiver, const char *method)
        : scheme(scheme)
    {
        QDesktopServices::setUrlHandler(scheme, receiver, method);
    }
    ~ScopedUrlHandler() { QDesktopServices::unsetUrlHandler(scheme); }
    ScopedUrlHandler(const ScopedUrlHandler &) = delete;
    ScopedUrlHandler &operator=(const ScopedUrlHandler &) = delete;

private:
    QString scheme;
};

#endif // URLRECORDER_H
