#include "myapplication.h"

#include <QDebug>
#include <QMessageBox>

#include <exception>

MyApplication::MyApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

bool MyApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        qCritical() << "Exception thrown:" << e.what();
    } catch (const char *message) {
        QMessageBox::critical(nullptr, QStringLiteral("Error"), QString::fromLatin1(message),
                              QMessageBox::Ok, QMessageBox::NoButton);
    }
    return false;
}
