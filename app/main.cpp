#include "mainwindow.h"
#include "startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    set_identity();
    QApplication app(argc, argv);
    set_look(app);

    MainWindow window;
    window.show();
    return app.exec();
}
