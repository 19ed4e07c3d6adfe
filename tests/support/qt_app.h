#pragma once
// One QApplication for a whole test binary (GoogleTest's main does not make
// one). Tests run with QT_QPA_PLATFORM=offscreen.
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <functional>

namespace quorvane::testing
{

inline QApplication* qtApp()
{
    static int argc = 1;
    static char arg0[] = "quorvane-test";
    static char* argv[] = {arg0, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return app;
}

// Processes events until `done` holds or `timeoutMs` passes; true when done.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(5);
    }
    return true;
}

} // namespace quorvane::testing
