#include "modalanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>

ModalAnswerer::ModalAnswerer(QObject *parent)
    : QObject(parent)
    , fallback(&ModalAnswerer::defaultAnswer)
{
    connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    timer.start(15);
}

void ModalAnswerer::enqueue(Handler handler)
{
    queue.append(std::move(handler));
}

void ModalAnswerer::pressButton(QMessageBox::StandardButton button)
{
    enqueue([button](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        QAbstractButton *target = box ? box->button(button) : nullptr;
        if (target)
            target->click();
        else
            defaultAnswer(widget);
    });
}

void ModalAnswerer::chooseFile(const QString &path)
{
    enqueue([path](QWidget *widget) {
        auto *dialog = qobject_cast<QFileDialog *>(widget);
        if (!dialog) {
            defaultAnswer(widget);
        } else if (path.isEmpty()) {
            dialog->reject();
        } else {
            dialog->selectFile(path);
            // selectFile leaves the name field alone while it has the focus: type it in.
            if (auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                nameEdit->setText(path);
            static_cast<QDialog *>(dialog)->accept();
            // A choice the dialog refuses (say, a missing file) must not leave the test hanging.
            if (dialog->isVisible())
                dialog->reject();
        }
    });
}

void ModalAnswerer::defaultAnswer(QWidget *widget)
{
    if (auto *box = qobject_cast<QMessageBox *>(widget)) {
        QAbstractButton *button = box->defaultButton();
        if (!button && !box->buttons().isEmpty())
            button = box->buttons().constFirst();
        if (button) {
            button->click();
            return;
        }
    }
    if (auto *dialog = qobject_cast<QDialog *>(widget))
        dialog->reject();
    else
        widget->close();
}

bool ModalAnswerer::waitForCount(int n, int timeoutMs)
{
    return QTest::qWaitFor([&] { return shown.size() >= n; }, timeoutMs);
}

bool ModalAnswerer::waitForTitle(const QString &title, int timeoutMs)
{
    return QTest::qWaitFor([&] { return count(title) > 0; }, timeoutMs);
}

int ModalAnswerer::count(const QString &title) const
{
    int n = 0;
    for (const ShownModal &modal : shown)
        n += modal.title == title;
    return n;
}

void ModalAnswerer::poll()
{
    QWidget *widget = QApplication::activeModalWidget();
    if (!widget || !widget->isVisible() || widget == lastHandled)
        return;
    lastHandled = widget;

    ShownModal record;
    record.className = QString::fromLatin1(widget->metaObject()->className());
    record.title = widget->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(widget)) {
        record.text = box->text();
        record.icon = box->icon();
        QStringList buttons;
        for (QAbstractButton *button : box->buttons())
            buttons << button->text();
        record.detail = buttons.join(QLatin1Char('|'));
    } else if (auto *dialog = qobject_cast<QFileDialog *>(widget)) {
        record.text = dialog->directory().absolutePath();
        record.detail = dialog->nameFilters().join(QLatin1String(";;"));
    }
    shown.append(record);

    Handler handler = queue.isEmpty() ? fallback : queue.takeFirst();
    handler(widget);
}
