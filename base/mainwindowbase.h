#ifndef MAINWINDOWBASE_H
#define MAINWINDOWBASE_H

#include <QMainWindow>
#include <QString>

// Base of the application's main window: keeps the application name, opens a file by name
// behind a trap for error texts, removes leftover temporary files and shows the about box.
class MainWindowBase : public QMainWindow
{
    Q_OBJECT

public:
    MainWindowBase(const QString &appName, QWidget *parent, Qt::WindowFlags flags);

public slots:
    // Runs fileOpenImp; a QString thrown by it is shown in an "Error" box and gives false.
    bool fileOpen(QString &filename, bool drag = false);
    virtual bool fileOpenImp(QString &, bool);
    virtual void onFileOpen() = 0;
    virtual void onSaveProject() = 0;
    virtual void onCloseAll() = 0;
    virtual void deleteTempFiles();
    virtual void aboutMe();

protected:
    QString appName;
    QString versionText;
};

#endif // MAINWINDOWBASE_H
