#ifndef ZENTLABEL_H
#define ZENTLABEL_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTextBrowser>

// A borderless rich-text label in the window's background colour. It serves images and
// style sheets from an in-memory map and hands activated links to the desktop.
class ZentLabel : public QTextBrowser
{
    Q_OBJECT

public:
    explicit ZentLabel(QWidget *parent);
    ~ZentLabel() override;

    void setContents(const QString &text, const QByteArray &packedResources, bool fitToText);

    QSize minimumSizeHint() const override;
    QVariant loadResource(int type, const QUrl &name) override;

protected:
    void doSetSource(const QUrl &name, QTextDocument::ResourceType type) override;

private:
    QMultiMap<QString, QByteArray> resources;
};

#endif // ZENTLABEL_H
