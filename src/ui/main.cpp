#include "korvath.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Korvath window;
    window.show();
    return app.exec();
}
