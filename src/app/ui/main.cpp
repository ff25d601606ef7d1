// Placeholder until the window lands.
#include "app/Server.h"
#include <QApplication>
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    Server server;
    return 0;
}
