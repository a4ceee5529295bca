#include "myapplication.h"
#include "window/henq.h"

#include <QDir>
#include <QStringList>

int main(int argc, char **argv)
{
    MyApplication app(argc, argv);
    QDir::setCurrent(QCoreApplication::applicationDirPath());

    // Never deleted: a running encoder outlives the window when the program ends.
    MainWindowBase *window = createMainWindow(nullptr);

    QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1) {
        QString filename = arguments.at(1);
        window->fileOpen(filename, false);
    }
    return app.exec();
}
