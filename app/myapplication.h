#ifndef MYAPPLICATION_H
#define MYAPPLICATION_H

#include <QApplication>

// The application object. It traps exceptions that escape event handlers so that one
// failing handler does not end the program.
class MyApplication : public QApplication
{
public:
    MyApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;
};

#endif // MYAPPLICATION_H
