#include "bridge/CorvaneBridge.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    corvane::CorvaneBridge bridge;
    bridge.start();
    return QCoreApplication::exec();
}
