#ifndef ABOUTZENTIMP_H
#define ABOUTZENTIMP_H

#include "aboutzent.h"

class QGridLayout;
class QLabel;
class QPushButton;
class ZentLabel;

// The about dialog: an optional picture, the text below it and a centred "&Close" button,
// in a fixed size computed from the content, the window title and the screen's width.
class AboutZentImp : public AboutZent
{
    Q_OBJECT

public:
    explicit AboutZentImp(QWidget *parent);

    void setContents(const QString &text, const QByteArray &resources) override;
    void setPixmap(const QPixmap &pixmap) override;
    QString documentTitle() const override;

    // The widest the dialog may become on a screen with this available width.
    static int widthLimit(int availableScreenWidth);

private:
    void updateSize();

    QLabel *pixmapLabel;
    ZentLabel *textLabel;
    QPushButton *closeButton;
    QGridLayout *gridLayout;
};

#endif // ABOUTZENTIMP_H
