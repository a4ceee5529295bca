#ifndef ZENTLABEL_H
#define ZENTLABEL_H

#include <QByteArray>
#include <QMultiMap>
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

    // Replaces the text and the resource map. packedResources is a QDataStream of
    // QMap<QString, QByteArray> (count, then name/content pairs); a damaged blob gives no
    // resources at all. With fitToText the label takes a fixed size measured from the
    // source lines of text, markup included, plus 8 pixels each way.
    void setContents(const QString &text, const QByteArray &packedResources, bool fitToText);

    QSize minimumSizeHint() const override;
    // Serves images and style sheets from the resource map only; nothing else is loaded.
    QVariant loadResource(int type, const QUrl &name) override;

protected:
    // Every activated link goes to the desktop; the shown text never changes.
    void doSetSource(const QUrl &name, QTextDocument::ResourceType type) override;

private:
    void fitTo(const QString &text);

    // Duplicate names allowed; a lookup finds the entry inserted last.
    QMultiMap<QString, QByteArray> resources;
};

#endif // ZENTLABEL_H
