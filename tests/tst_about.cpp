#include "about/aboutzent.h"
#include "about/aboutzentimp.h"
#include "about/zentlabel.h"
#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "support/testwindow.h"
#include "support/urlrecorder.h"

#include <QApplication>
#include <QBuffer>
#include <QDataStream>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>

#include <memory>

using TestSupport::IsolatedEnvironment;

namespace {

using NamedBlob = QList<QPair<QString, QByteArray>>;

// A resource blob written by hand, so that counts and duplicate names can lie.
QByteArray packBlob(quint32 count, const NamedBlob &pairs)
{
    QByteArray blob;
    QDataStream out(&blob, QIODevice::WriteOnly);
    out << count;
    for (const auto &pair : pairs)
        out << pair.first << pair.second;
    return blob;
}

QByteArray pngBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Where a user would click to activate the link with this target: the middle of its text.
QPoint anchorPoint(QTextBrowser &browser, const QString &href)
{
    QTextDocument *doc = browser.document();
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.charFormat().anchorHref() != href)
                continue;
            QTextCursor cursor(doc);
            cursor.setPosition(fragment.position() + fragment.length() / 2);
            return browser.cursorRect(cursor).center();
        }
    }
    return QPoint(-1, -1);
}

const char noticeLikeText[] =
    "<b>Legal line</b><br>\n"
    "<a href=\"https://morlunex.example/page\">morlunex.example/page</a><br>\n"
    "<a href=\"mailto:help@tarvolen.example\">help@tarvolen.example</a>";

int availableWidthUnderCursor()
{
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen->availableGeometry().width();
}

} // namespace

class AboutTest : public QObject
{
    Q_OBJECT

private slots:
    void fitToText_sizesFromSourceLines_data();
    void fitToText_sizesFromSourceLines();
    void fitToText_falseKeepsEarlierFixedSize();
    void blob_servesOnlyIntactSets_data();
    void blob_servesOnlyIntactSets();
    void loadResource_servesImagesAndStyleSheetsOnly_data();
    void loadResource_servesImagesAndStyleSheetsOnly();
    void loadResource_documentUsesServedImageAndStyleSheet();
    void linkClick_opensThroughDesktop_data();
    void linkClick_opensThroughDesktop();
    void linkClick_failureWarnsOncePerClick();
    void invalidUrl_isIgnored();
    void noticeRow_isLastRowOfWindow();
    void noticeRow_mailLinkGoesToDesktop();
    void aboutDialog_widthLimit_data();
    void aboutDialog_widthLimit();
    void aboutDialog_structure();
    void aboutDialog_titleWidth_data();
    void aboutDialog_titleWidth();
    void aboutDialog_setPixmapTwiceKeepsOneRow();
    void aboutDialog_documentTitle_data();
    void aboutDialog_documentTitle();
    void aboutMe_showsNameVersionAndPicture();
    void aboutMe_insertsNameAndVersionOnce_data();
    void aboutMe_insertsNameAndVersionOnce();
};

void AboutTest::fitToText_sizesFromSourceLines_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("empty") << QString() << QStringList{QString()};
    QTest::newRow("one line") << "plain words" << QStringList{"plain words"};
    QTest::newRow("three lines, markup counted")
        << "<b>short</b><br>\n<a href=\"https://x.example/a/long/path\">x.example</a><br>\nmid line"
        << QStringList{"<b>short</b><br>", "<a href=\"https://x.example/a/long/path\">x.example</a><br>",
                       "mid line"};
    QTest::newRow("empty middle line adds no height")
        << "first\n\nthird" << QStringList{"first", QString(), "third"};
}

void AboutTest::fitToText_sizesFromSourceLines()
{
    QFETCH(QString, text);
    QFETCH(QStringList, lines);
    IsolatedEnvironment env;

    ZentLabel label(nullptr);
    label.setContents(text, QByteArray(), true);

    const QFontMetrics metrics(label.font());
    int widest = 0;
    int height = 0;
    for (const QString &line : lines) {
        const QRect bounds = metrics.boundingRect(line);
        widest = qMax(widest, bounds.width());
        height += bounds.height();
    }
    QCOMPARE(label.minimumSize(), label.maximumSize());
    QCOMPARE(label.width(), widest + 8);
    QCOMPARE(label.height(), height + 8);
    if (text.isEmpty())
        QCOMPARE(label.size(), QSize(8, 8));
    // The source is measured, not the rendering: tags make the label wider than its text.
    if (text.contains(QLatin1String("href")))
        QVERIFY(label.width() > metrics.horizontalAdvance(QStringLiteral("x.example")) + 8);
}

void AboutTest::fitToText_falseKeepsEarlierFixedSize()
{
    IsolatedEnvironment env;
    ZentLabel label(nullptr);
    label.setContents(QStringLiteral("a fairly long first text"), QByteArray(), true);
    const QSize fitted = label.size();
    label.setContents(QStringLiteral("x"), QByteArray(), false);
    QCOMPARE(label.minimumSize(), fitted);
    QCOMPARE(label.maximumSize(), fitted);
    QCOMPARE(label.toPlainText(), QStringLiteral("x"));
}

void AboutTest::blob_servesOnlyIntactSets_data()
{
    QTest::addColumn<QByteArray>("blob");
    QTest::addColumn<QStringList>("served");
    QTest::addColumn<QList<QByteArray>>("contents");

    QTest::newRow("two names") << packBlob(2, {{"a.png", "AAA"}, {"b.css", "BBB"}})
                               << QStringList{"a.png", "b.css"} << QList<QByteArray>{"AAA", "BBB"};
    QTest::newRow("one name twice serves the last")
        << packBlob(2, {{"a.png", "first"}, {"a.png", "second"}}) << QStringList{"a.png"}
        << QList<QByteArray>{"second"};
    QTest::newRow("count promises more pairs")
        << packBlob(3, {{"a.png", "AAA"}, {"b.css", "BBB"}}) << QStringList() << QList<QByteArray>();
    QByteArray cut = packBlob(2, {{"a.png", "AAA"}, {"b.css", "BBBBBBBB"}});
    cut.chop(4);
    QTest::newRow("content cut short") << cut << QStringList() << QList<QByteArray>();
    QTest::newRow("empty array") << QByteArray() << QStringList() << QList<QByteArray>();
    QTest::newRow("count only, zero") << packBlob(0, {}) << QStringList() << QList<QByteArray>();
}

void AboutTest::blob_servesOnlyIntactSets()
{
    QFETCH(QByteArray, blob);
    QFETCH(QStringList, served);
    QFETCH(QList<QByteArray>, contents);
    IsolatedEnvironment env;

    ZentLabel label(nullptr);
    // A previous intact set must be replaced, never merged with or left behind.
    label.setContents(QStringLiteral("x"), packBlob(2, {{"a.png", "old"}, {"b.css", "old"}}), false);
    label.setContents(QStringLiteral("x"), blob, false);

    for (int i = 0; i < served.size(); ++i) {
        const QVariant value = label.loadResource(QTextDocument::ImageResource, QUrl(served.at(i)));
        QCOMPARE(value.typeId(), int(QMetaType::QByteArray));
        QCOMPARE(value.toByteArray(), contents.at(i));
    }
    for (const char *name : {"a.png", "b.css"}) {
        if (!served.contains(QLatin1String(name)))
            QVERIFY(!label.loadResource(QTextDocument::ImageResource, QUrl(name)).isValid());
    }
}

void AboutTest::loadResource_servesImagesAndStyleSheetsOnly_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("expected"); // null: an invalid QVariant

    QTest::newRow("image") << int(QTextDocument::ImageResource) << "pic.png" << QByteArray("PNGDATA");
    QTest::newRow("style sheet") << int(QTextDocument::StyleSheetResource) << "look.css"
                                 << QByteArray("p { color: red }");
    QTest::newRow("html document") << int(QTextDocument::HtmlResource) << "page.html" << QByteArray();
    QTest::newRow("html type for an image name")
        << int(QTextDocument::HtmlResource) << "pic.png" << QByteArray();
    QTest::newRow("user type") << int(QTextDocument::UserResource) << "pic.png" << QByteArray();
    QTest::newRow("missing image") << int(QTextDocument::ImageResource) << "other.png" << QByteArray();
    QTest::newRow("case differs") << int(QTextDocument::ImageResource) << "PIC.png" << QByteArray();
}

void AboutTest::loadResource_servesImagesAndStyleSheetsOnly()
{
    QFETCH(int, type);
    QFETCH(QString, name);
    QFETCH(QByteArray, expected);
    IsolatedEnvironment env;

    ZentLabel label(nullptr);
    label.setContents(QStringLiteral("x"),
                      packBlob(3, {{"pic.png", "PNGDATA"},
                                   {"look.css", "p { color: red }"},
                                   {"page.html", "<p>never served</p>"}}),
                      false);
    const QVariant value = label.loadResource(type, QUrl(name));
    if (expected.isNull()) {
        QVERIFY(!value.isValid());
    } else {
        QCOMPARE(value.typeId(), int(QMetaType::QByteArray));
        QCOMPARE(value.toByteArray(), expected);
    }
}

void AboutTest::loadResource_documentUsesServedImageAndStyleSheet()
{
    IsolatedEnvironment env;
    const QString html = QStringLiteral(
        "<html><head><link rel=\"stylesheet\" type=\"text/css\" href=\"look.css\"></head>"
        "<body><p>text</p><img src=\"wide.png\"></body></html>");

    ZentLabel served(nullptr);
    served.setContents(html,
                       packBlob(2, {{"wide.png", pngBytes(160, 20)},
                                    {"look.css", "p { font-size: 40px; }"}}),
                       false);
    ZentLabel missing(nullptr);
    missing.setContents(html, QByteArray(), false);

    // The image widens the document, and the style sheet enlarges the paragraph's font.
    QVERIFY(served.minimumSizeHint().width() >= 160);
    QVERIFY(missing.minimumSizeHint().width() < 160);
    const QTextBlock paragraph = served.document()->begin();
    QCOMPARE(paragraph.charFormat().font().pixelSize(), 40);
    QVERIFY(missing.document()->begin().charFormat().font().pixelSize() != 40);
}

void AboutTest::linkClick_opensThroughDesktop_data()
{
    QTest::addColumn<QString>("href");
    QTest::newRow("web page") << "https://morlunex.example/page";
    QTest::newRow("mail") << "mailto:help@tarvolen.example";
}

void AboutTest::linkClick_opensThroughDesktop()
{
    QFETCH(QString, href);
    IsolatedEnvironment env;
    UrlRecorder recorder;
    ScopedUrlHandler handler(QUrl(href).scheme(), &recorder, "openUrl");
    ModalAnswerer answerer;

    ZentLabel label(nullptr);
    label.setContents(QLatin1String(noticeLikeText), QByteArray(), true);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    const QString before = label.toHtml();

    const QPoint point = anchorPoint(label, href);
    QCOMPARE(label.anchorAt(point), href);
    QTest::mouseClick(label.viewport(), Qt::LeftButton, Qt::NoModifier, point);
    QTest::qWait(60);

    QCOMPARE(recorder.urls, QList<QUrl>{QUrl(href)});
    QVERIFY(answerer.shown.isEmpty());
    QCOMPARE(label.toHtml(), before);
    QVERIFY(label.source().isEmpty());
}

void AboutTest::linkClick_failureWarnsOncePerClick()
{
    IsolatedEnvironment env;
    UrlRecorder recorder;
    // The receiver has no such slot, so the desktop reports that it could not open the link.
    ScopedUrlHandler handler(QStringLiteral("https"), &recorder, "noSuchSlot");

    QString defaultText;
    bool escapeNamed = true;
    ModalAnswerer answerer;
    answerer.enqueue([&](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (box && box->defaultButton())
            defaultText = box->defaultButton()->text();
        escapeNamed = box && box->escapeButton();
        ModalAnswerer::defaultAnswer(widget);
    });

    ZentLabel label(nullptr);
    label.setContents(QLatin1String(noticeLikeText), QByteArray(), true);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    const QString before = label.toHtml();
    const QPoint point = anchorPoint(label, QStringLiteral("https://morlunex.example/page"));

    for (int click = 1; click <= 2; ++click) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("noSuchSlot")));
        QTest::mouseClick(label.viewport(), Qt::LeftButton, Qt::NoModifier, point);
        QVERIFY(answerer.waitForCount(click, 5000));
        QTest::qWait(60);
        QCOMPARE(answerer.shown.size(), click);
        const ShownModal &shown = answerer.shown.last();
        QCOMPARE(shown.className, QStringLiteral("QMessageBox"));
        QCOMPARE(shown.title, QStringLiteral("Warning"));
        QCOMPARE(shown.text, QStringLiteral("Unable to launch external application.\n"));
        QCOMPARE(shown.detail, QStringLiteral("OK"));
        QCOMPARE(shown.icon, QMessageBox::Warning);
        QCOMPARE(label.toHtml(), before);
    }
    QCOMPARE(defaultText, QStringLiteral("OK"));
    QVERIFY(!escapeNamed);
    QVERIFY(recorder.urls.isEmpty());
}

void AboutTest::invalidUrl_isIgnored()
{
    IsolatedEnvironment env;
    UrlRecorder recorder;
    ScopedUrlHandler handler(QStringLiteral("http"), &recorder, "openUrl");
    ModalAnswerer answerer;

    ZentLabel label(nullptr);
    label.setContents(QStringLiteral("<p>kept</p>"), QByteArray(), false);
    const QUrl invalid(QStringLiteral("http://[::1"));
    QVERIFY(!invalid.isValid());
    label.setSource(invalid);
    label.setSource(QUrl());
    QTest::qWait(60);

    QVERIFY(recorder.urls.isEmpty());
    QVERIFY(answerer.shown.isEmpty());
    QCOMPARE(label.toPlainText(), QStringLiteral("kept"));
}

void AboutTest::noticeRow_isLastRowOfWindow()
{
    IsolatedEnvironment env;
    TestWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto *mainLayout = qobject_cast<QVBoxLayout *>(window.centralWidget()->layout());
    QVERIFY(mainLayout);
    const int last = mainLayout->count() - 1;
    auto *row = qobject_cast<QHBoxLayout *>(mainLayout->itemAt(last)->layout());
    QVERIFY(row);
    QCOMPARE(mainLayout->stretch(last), 0);
    QCOMPARE(row->count(), 3);

    auto *logo = qobject_cast<QLabel *>(row->itemAt(0)->widget());
    auto *notice = qobject_cast<ZentLabel *>(row->itemAt(1)->widget());
    auto *gap = qobject_cast<QLabel *>(row->itemAt(2)->widget());
    QVERIFY(logo && notice && gap);
    QCOMPARE(row->stretch(0), 2);
    QCOMPARE(logo->pixmap().size(), QSize(50, 50));
    QCOMPARE(gap->text(), QString(35, QLatin1Char(' ')));

    // Three lines: a bold legal notice, the product page without its scheme, the mail address.
    QCOMPARE(notice->minimumSize(), notice->maximumSize());
    const QStringList lines = notice->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 3);
    QTextCursor first(notice->document());
    first.setPosition(1);
    QCOMPARE(first.charFormat().fontWeight(), int(QFont::Bold));
    QStringList links;
    for (QTextBlock block = notice->document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isAnchor())
                links << it.fragment().charFormat().anchorHref() << it.fragment().text();
    QCOMPARE(links.size(), 4);
    const QUrl page(links.at(0));
    QVERIFY(page.scheme() == QLatin1String("https") || page.scheme() == QLatin1String("http"));
    QVERIFY(page.host().endsWith(QLatin1String(".example")));
    QCOMPARE(links.at(1), page.toString(QUrl::RemoveScheme).mid(2));
    QCOMPARE(links.at(2), QStringLiteral("mailto:") + links.at(3));
    QVERIFY(links.at(3).endsWith(QLatin1String(".example")));
    QCOMPARE(lines.at(1), links.at(1));
    QCOMPARE(lines.at(2), links.at(3));

    TestSupport::saveScreenshot(&window, QStringLiteral("main_window_notice_row"));
}

void AboutTest::noticeRow_mailLinkGoesToDesktop()
{
    IsolatedEnvironment env;
    UrlRecorder recorder;
    ScopedUrlHandler handler(QStringLiteral("mailto"), &recorder, "openUrl");
    ModalAnswerer answerer;
    TestWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const auto notices = window.centralWidget()->findChildren<ZentLabel *>();
    QCOMPARE(notices.size(), 1);
    ZentLabel *notice = notices.first();
    QString mailHref;
    for (QTextBlock block = notice->document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().anchorHref().startsWith(QLatin1String("mailto:")))
                mailHref = it.fragment().charFormat().anchorHref();
    QVERIFY(!mailHref.isEmpty());
    const QString before = notice->toHtml();

    const QPoint point = anchorPoint(*notice, mailHref);
    QVERIFY2(notice->viewport()->rect().contains(point), "the mail link is not visible");
    QVERIFY(window.rect().contains(notice->viewport()->mapTo(&window, point)));
    QTest::mouseClick(notice->viewport(), Qt::LeftButton, Qt::NoModifier, point);
    QTest::qWait(60);

    QCOMPARE(recorder.urls, QList<QUrl>{QUrl(mailHref)});
    QVERIFY(answerer.shown.isEmpty());
    QCOMPARE(notice->toHtml(), before);
}

void AboutTest::aboutDialog_widthLimit_data()
{
    QTest::addColumn<int>("available");
    QTest::addColumn<int>("limit");
    QTest::newRow("1920") << 1920 << 500;
    QTest::newRow("1001") << 1001 << 500;
    QTest::newRow("999") << 999 << 499;
    QTest::newRow("800") << 800 << 400;
    QTest::newRow("1") << 1 << 0;
}

void AboutTest::aboutDialog_widthLimit()
{
    QFETCH(int, available);
    QFETCH(int, limit);
    QCOMPARE(AboutZentImp::widthLimit(available), limit);
}

void AboutTest::aboutDialog_structure()
{
    IsolatedEnvironment env;
    std::unique_ptr<AboutZent> dialog(AboutZent::create(nullptr));
    QVERIFY(qobject_cast<AboutZentImp *>(dialog.get()));

    const Qt::WindowFlags flags = dialog->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));

    auto *grid = qobject_cast<QGridLayout *>(dialog->layout());
    QVERIFY(grid);
    QVERIFY(!grid->itemAtPosition(0, 0)); // no picture row before setPixmap
    auto *text = qobject_cast<ZentLabel *>(grid->itemAtPosition(1, 0)->widget());
    QVERIFY(text);
    QCOMPARE(grid->itemAtPosition(1, 2)->widget(), text); // spans all three columns
    auto *close = qobject_cast<QPushButton *>(grid->itemAtPosition(3, 1)->widget());
    QVERIFY(close);
    QCOMPARE(close->text(), QStringLiteral("&Close"));

    // The button centres between the spacers and closes the dialog.
    dialog->setContents(QStringLiteral("<p>a text that is wider than the button itself</p>"),
                        QByteArray());
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    const int leftGap = close->geometry().left();
    const int rightGap = dialog->width() - close->geometry().right() - 1;
    QVERIFY(qAbs(leftGap - rightGap) <= 1);
    QTest::mouseClick(close, Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return !dialog->isVisible(); }, 2000));
}

void AboutTest::aboutDialog_titleWidth_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("columns"); // characters of content text

    QTest::newRow("short title, content wins") << "Ab" << 30;
    QTest::newRow("title wider than content") << "About a program with a rather long name" << 3;
    QTest::newRow("title beyond the limit") << QString(400, QLatin1Char('W')) << 3;
    QTest::newRow("content beyond the limit") << "Ab" << 400;
}

void AboutTest::aboutDialog_titleWidth()
{
    QFETCH(QString, title);
    QFETCH(int, columns);
    IsolatedEnvironment env;

    const int limit = AboutZentImp::widthLimit(availableWidthUnderCursor());
    const int titleWidth =
        QFontMetrics(QApplication::font("QWorkspaceTitleBar")).horizontalAdvance(title) + 50;

    AboutZentImp dialog(nullptr);
    dialog.setWindowTitle(title);
    dialog.setContents(QStringLiteral("<p>%1</p>").arg(QString(columns, QLatin1Char('m'))), QByteArray());
    const int contentWidth = dialog.layout()->totalMinimumSize().width();

    const int expected = qMax(qMin(contentWidth, limit), qMin(titleWidth, limit));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QCOMPARE(dialog.width(), expected);
    QVERIFY(dialog.width() <= limit);
    if (QTest::currentDataTag() == QLatin1String("title wider than content")) {
        QVERIFY(titleWidth > contentWidth && titleWidth < limit);
        QCOMPARE(dialog.width(), titleWidth);
    }

    // The fixed size survives showing: no queued layout pass resizes the dialog.
    const QSize fixed = dialog.size();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCoreApplication::processEvents();
    QCOMPARE(dialog.size(), fixed);
}

void AboutTest::aboutDialog_setPixmapTwiceKeepsOneRow()
{
    IsolatedEnvironment env;
    AboutZentImp dialog(nullptr);
    dialog.setContents(QStringLiteral("<p>text</p>"), QByteArray());
    const int heightWithoutPicture = dialog.height();

    QPixmap small(16, 16);
    small.fill(Qt::red);
    QPixmap tall(40, 90);
    tall.fill(Qt::blue);
    dialog.setPixmap(small);
    const int heightWithSmall = dialog.height();
    dialog.setPixmap(tall);

    const auto labels = dialog.findChildren<QLabel *>(Qt::FindDirectChildrenOnly);
    QCOMPARE(labels.size(), 1);
    auto *grid = qobject_cast<QGridLayout *>(dialog.layout());
    QCOMPARE(grid->itemAtPosition(0, 0)->widget(), labels.first());
    QCOMPARE(grid->itemAtPosition(0, 0)->alignment(), Qt::AlignCenter);
    QCOMPARE(labels.first()->pixmap().size(), QSize(40, 90));
    // Each picture fixes the size anew.
    QVERIFY(heightWithSmall > heightWithoutPicture);
    QCOMPARE(dialog.height() - heightWithSmall, 90 - 16);
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
}

void AboutTest::aboutDialog_documentTitle_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QString>("title");
    QTest::newRow("no title element") << "<center><h3>Name</h3>\n<b>Version </b><br><br>\n" << QString();
    QTest::newRow("plain text") << "just words" << QString();
    QTest::newRow("title element") << "<html><head><title>Nice title</title></head><body>x</body></html>"
                                   << "Nice title";
}

void AboutTest::aboutDialog_documentTitle()
{
    QFETCH(QString, html);
    QFETCH(QString, title);
    IsolatedEnvironment env;
    std::unique_ptr<AboutZent> dialog(AboutZent::create(nullptr));
    dialog->setContents(html, QByteArray());
    QCOMPARE(dialog->documentTitle(), title);
}

namespace {

// What one run of aboutMe() showed, read from the dialog before its "&Close" was clicked.
struct AboutRun
{
    QList<ShownModal> shown;
    QStringList lines;
    QSize pictureSize;
    QSize minimumSize;
    QSize maximumSize;
    bool closeClicked = false;
    bool deleted = false;
};

AboutRun runAboutMe(QMainWindow &window, const QString &screenshotName = QString())
{
    AboutRun run;
    ModalAnswerer answerer;
    answerer.enqueue([&](QWidget *widget) {
        auto *dialog = qobject_cast<AboutZentImp *>(widget);
        if (!dialog) {
            ModalAnswerer::defaultAnswer(widget);
            return;
        }
        if (auto *text = dialog->findChild<ZentLabel *>())
            run.lines = text->toPlainText().split(QLatin1Char('\n'));
        if (auto *picture = dialog->findChild<QLabel *>())
            run.pictureSize = picture->pixmap().size();
        run.minimumSize = dialog->minimumSize();
        run.maximumSize = dialog->maximumSize();
        if (!screenshotName.isEmpty())
            TestSupport::saveScreenshot(dialog, screenshotName);
        for (auto *button : dialog->findChildren<QPushButton *>()) {
            if (button->text() == QLatin1String("&Close")) {
                button->click();
                run.closeClicked = true;
            }
        }
        if (!run.closeClicked)
            dialog->reject();
    });
    QMetaObject::invokeMethod(&window, "aboutMe");
    run.shown = answerer.shown;
    // The dialog lives for one call only.
    run.deleted = window.findChildren<AboutZent *>().isEmpty();
    return run;
}

// The base window with a name and version of the test's choosing.
class NamedWindow : public MainWindowBase
{
public:
    NamedWindow(const QString &name, const QString &version)
        : MainWindowBase(name, nullptr, Qt::WindowFlags())
    {
        versionText = version;
    }
    void onFileOpen() override {}
    void onSaveProject() override {}
    void onCloseAll() override {}
};

} // namespace

void AboutTest::aboutMe_showsNameVersionAndPicture()
{
    IsolatedEnvironment env;
    TestWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const AboutRun run = runAboutMe(window, QStringLiteral("about_dialog"));

    QCOMPARE(run.shown.size(), 1);
    QCOMPARE(run.shown.first().className, QStringLiteral("AboutZentImp"));
    QCOMPARE(run.shown.first().title, QStringLiteral("About Morlunex Transcoder 0.980"));
    QVERIFY(run.closeClicked);
    QVERIFY(run.deleted);

    QVERIFY2(run.lines.size() >= 4, qPrintable(run.lines.join(QLatin1Char('|'))));
    QCOMPARE(run.lines.at(0), QStringLiteral("Morlunex Transcoder 0.980"));
    // Nothing sets the version, so the line reads "Version" with nothing after it.
    QCOMPARE(run.lines.at(1).trimmed(), QStringLiteral("Version"));
    const QString all = run.lines.join(QLatin1Char('\n'));
    QVERIFY(all.contains(QLatin1String("Tarvolen Inc.")));
    QVERIFY(all.contains(QLatin1String("info@tarvolen.example")));
    QCOMPARE(run.pictureSize, QSize(32, 32));
    QCOMPARE(run.minimumSize, run.maximumSize);
    QVERIFY(run.minimumSize.width() <= AboutZentImp::widthLimit(availableWidthUnderCursor()));
}

void AboutTest::aboutMe_insertsNameAndVersionOnce_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("versionLine");

    QTest::newRow("name and version") << "Tool" << "1.2" << "Version 1.2";
    QTest::newRow("marker in the name stays as written") << "Rate 100%2" << "7" << "Version 7";
}

void AboutTest::aboutMe_insertsNameAndVersionOnce()
{
    QFETCH(QString, name);
    QFETCH(QString, version);
    QFETCH(QString, versionLine);
    IsolatedEnvironment env;
    NamedWindow window(name, version);

    const AboutRun run = runAboutMe(window);

    QCOMPARE(run.shown.size(), 1);
    QCOMPARE(run.shown.first().title, QStringLiteral("About ") + name);
    QVERIFY(run.lines.size() >= 2);
    QCOMPARE(run.lines.at(0), name);
    QCOMPARE(run.lines.at(1), versionLine);
}

QTEST_MAIN(AboutTest)
#include "tst_about.moc"
