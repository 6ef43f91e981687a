#pragma once
// One QCoreApplication for the tests of a binary that need Qt's event loop
// or application name; made on first use and kept until the process ends.

#include <QCoreApplication>

inline QCoreApplication& qt_test_app()
{
    static int argc = 1;
    static char name[] = "keyline-bench-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app =
        QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
    return *QCoreApplication::instance();
}
