#include "zentlabel.h"

ZentLabel::ZentLabel(QWidget *parent)
    : QTextBrowser(parent)
{
    setFrameStyle(QFrame::NoFrame);
}

ZentLabel::~ZentLabel() = default;

void ZentLabel::setContents(const QString &text, const QByteArray &, bool)
{
    setText(text);
}

QSize ZentLabel::minimumSizeHint() const
{
    return QTextBrowser::minimumSizeHint();
}

QVariant ZentLabel::loadResource(int, const QUrl &)
{
    return QVariant();
}

void ZentLabel::doSetSource(const QUrl &, QTextDocument::ResourceType)
{
}
