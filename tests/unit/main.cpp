#include <QCoreApplication>

#include <gtest/gtest.h>

// A Qt application object exists for the tests that need an event loop or D-Bus.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
