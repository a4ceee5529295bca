#include "aboutzentimp.h"

#include "zentlabel.h"

#include <QApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>

namespace {

// The absolute cap on the dialog's width, whatever the screen.
const int widthCap = 500;

} // namespace

AboutZentImp::AboutZentImp(QWidget *parent)
    : AboutZent(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                            | Qt::MSWindowsFixedSizeDialogHint)
    , pixmapLabel(nullptr)
    , textLabel(new ZentLabel(nullptr))
    , closeButton(new QPushButton(tr("&Close")))
    , gridLayout(new QGridLayout(this))
{
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);

    gridLayout->addWidget(textLabel, 1, 0, 1, -1);
    gridLayout->addItem(new QSpacerItem(20, 10, QSizePolicy::Minimum, QSizePolicy::Fixed), 2, 1);
    gridLayout->addItem(new QSpacerItem(20, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 3, 0);
    gridLayout->addWidget(closeButton, 3, 1);
    gridLayout->addItem(new QSpacerItem(20, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 3, 2);
}

void AboutZentImp::setContents(const QString &text, const QByteArray &resources)
{
    textLabel->setContents(text, resources, false);
    updateSize();
}

void AboutZentImp::setPixmap(const QPixmap &pixmap)
{
    if (!pixmapLabel) {
        pixmapLabel = new QLabel;
        gridLayout->addWidget(pixmapLabel, 0, 0, 1, -1, Qt::AlignCenter);
    }
    pixmapLabel->setPixmap(pixmap);
    updateSize();
}

QString AboutZentImp::documentTitle() const
{
    return textLabel->documentTitle();
}

int AboutZentImp::widthLimit(int availableScreenWidth)
{
    return qMin(availableScreenWidth / 2, widthCap);
}

void AboutZentImp::updateSize()
{
    // The cursor only picks the screen whose width bounds the dialog; it is not moved.
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const int limit = screen ? widthLimit(screen->availableGeometry().width()) : widthCap;

    gridLayout->activate();
    int width = qMin(gridLayout->totalMinimumSize().width(), limit);

    // Leave room for the whole window title where the screen allows it.
    const QFontMetrics titleMetrics(QApplication::font("QWorkspaceTitleBar"));
    const int titleWidth = qMin(titleMetrics.horizontalAdvance(windowTitle()) + 50, limit);
    width = qMax(width, titleWidth);

    gridLayout->activate();
    const int height = gridLayout->hasHeightForWidth() ? gridLayout->totalHeightForWidth(width)
                                                       : gridLayout->totalMinimumSize().height();
    setFixedSize(width, height);

    // A queued layout pass would resize the dialog to the layout's own idea of its size.
    QCoreApplication::removePostedEvents(this, QEvent::LayoutRequest);
}
