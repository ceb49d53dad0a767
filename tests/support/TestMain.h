#pragma once

// Test mains that run every test on the program's own event dispatcher (app/main.cpp), so that
// what a test sees of the event loop, the yields included, is what the program does. Otherwise
// as QTEST_GUILESS_MAIN and QTEST_MAIN.

#include "EpollDispatcher.h"

#include <QtTest>

#define TALKMERE_TEST_MAIN_WITH(Application, Follow, TestObject)                                   \
    int main(int argc, char* argv[]) {                                                             \
        if (!talkmere::EpollDispatcher::install())                                                 \
            qFatal("no epoll event dispatcher");                                                   \
        Application app(argc, argv);                                                               \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        Follow;                                                                                    \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#define TALKMERE_TEST_MAIN(TestObject)                                                             \
    TALKMERE_TEST_MAIN_WITH(QCoreApplication, (void)0, TestObject)

// The window system's own dispatcher follows, as in the program.
#define TALKMERE_WINDOW_TEST_MAIN(TestObject)                                                      \
    TALKMERE_TEST_MAIN_WITH(QApplication, talkmere::followWindowSystem(), TestObject)
