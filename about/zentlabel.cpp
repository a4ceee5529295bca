#include "zentlabel.h"

#include <QDataStream>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QStringList>
#include <QTextDocument>
#include <QUrl>

ZentLabel::ZentLabel(QWidget *parent)
    : QTextBrowser(parent)
{
    setFrameStyle(QFrame::NoFrame);

    // The text area takes the window's background so that the label reads as plain text.
    QPalette windowColoured;
    windowColoured.setBrush(QPalette::All, QPalette::Base,
                            QBrush(windowColoured.color(QPalette::Window), Qt::SolidPattern));
    setPalette(windowColoured);
}

ZentLabel::~ZentLabel() = default;

void ZentLabel::setContents(const QString &text, const QByteArray &packedResources, bool fitToText)
{
    QDataStream stream(packedResources);
    stream >> resources;
    // A short or corrupt blob must not leave a partial set behind.
    if (stream.status() != QDataStream::Ok)
        resources.clear();

    setText(text);

    if (fitToText)
        fitTo(text);
}

void ZentLabel::fitTo(const QString &text)
{
    const QFontMetrics metrics(font());
    int widest = 0;
    int totalHeight = 0;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    for (const QString &line : lines) {
        // An empty line measures as an empty rectangle: no width and no height.
        const QRect bounds = metrics.boundingRect(line);
        widest = qMax(widest, bounds.right() - bounds.left() + 1);
        totalHeight += bounds.bottom() - bounds.top() + 1;
    }
    setFixedWidth(widest + 8);
    setFixedHeight(totalHeight + 8);
}

QSize ZentLabel::minimumSizeHint() const
{
    QTextDocument *doc = document();
    doc->adjustSize();
    const QSizeF size = doc->size();
    return QSize(int(size.width()), int(size.height()));
}

QVariant ZentLabel::loadResource(int type, const QUrl &name)
{
    if (type != QTextDocument::ImageResource && type != QTextDocument::StyleSheetResource)
        return QVariant();
    const QString key = name.toString();
    if (!resources.contains(key))
        return QVariant();
    return QVariant(resources.value(key));
}

void ZentLabel::doSetSource(const QUrl &name, QTextDocument::ResourceType)
{
    if (!name.isValid())
        return;
    if (QDesktopServices::openUrl(name))
        return;

    QMessageBox box(QMessageBox::Warning, tr("Warning"),
                    tr("Unable to launch external application.\n"), QMessageBox::NoButton, this);
    QPushButton *ok = box.addButton(tr("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.exec();
}
