#ifndef ABOUTZENT_H
#define ABOUTZENT_H

#include <QByteArray>
#include <QDialog>
#include <QString>

class QPixmap;

// The about dialog as callers see it: a text with its resources and a picture above it.
class AboutZent : public QDialog
{
    Q_OBJECT

public:
    // A new dialog with this parent; the caller owns it and deletes it.
    static AboutZent *create(QWidget *parent);

    // Shows the rich text with the images and style sheets packed in resources.
    virtual void setContents(const QString &text, const QByteArray &resources) = 0;
    // Shows the picture centred above the text.
    virtual void setPixmap(const QPixmap &pixmap) = 0;
    // The title element of the shown document; empty without one.
    virtual QString documentTitle() const = 0;

protected:
    AboutZent(QWidget *parent, Qt::WindowFlags flags);
};

#endif // ABOUTZENT_H
