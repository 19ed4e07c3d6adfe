// "webpage URL [--json]": the first-screen measurement of the web page test
// in an off-screen browser, with nothing written to the installation.
#include "cli/cli.h"
#include "cli/json_text.h"
#include "measure/bandwidth_figures.h"
#include "measure/webpage_test.h"
#include "webview/web_view.h"

#include <QApplication>
#include <QEventLoop>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace quorvane::cli
{

namespace
{

// The browser needs an application object; a command run from main has none
// yet. Without a display it renders off screen, and as root the browser's
// sandbox cannot start, so it runs without. The application ends with the
// command: one left for the exit handlers would outlive Qt's thread data.
std::unique_ptr<QApplication> ensureApplication()
{
    if (QCoreApplication::instance())
        return nullptr;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    static int argc = 1;
    static char name[] = "quorvane-cli";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QApplication>(argc, argv);
}

} // namespace

int runWebpage(const Args& args, std::ostream& out, std::ostream& err)
{
    std::string url;
    bool json = false;
    for (const std::string& a : args) {
        if (a == "--json")
            json = true;
        else if (url.empty() && !a.starts_with("--"))
            url = a;
        else {
            err << "unexpected argument: " << a << "\n";
            printUsage(err);
            return kUsage;
        }
    }
    if (url.empty()) {
        printUsage(err);
        return kUsage;
    }
    if (!measure::PassesAddressPattern(url)) {
        err << measure::webpage_text::kBadAddress << "\n";
        return kFailed;
    }

    const std::unique_ptr<QApplication> app = ensureApplication();
    // Never shown on the desktop: the view measures in its own window off
    // screen, at the size the program's page has.
    auto view = std::make_unique<CWebView>();
    QEventLoop loop;
    measure::FirstScreenResult result;
    QObject::connect(view.get(), &CWebView::firstScreen, &loop, [&](const measure::FirstScreenResult& r) {
        result = r;
        loop.quit();
    });
    view->NavigateForTest(QString::fromStdString(url));
    loop.exec();
    view.reset();

    const bool ok = !result.failed();
    if (json) {
        out << "{\"url\":" << jsonString(url) << ",\"end\":" << jsonString(measure::EndName(result.end))
            << ",\"firstScreenSeconds\":" << (ok ? measure::FirstScreenText(result.seconds) : "null")
            << ",\"firstContentfulPaintMs\":" << jsonNumber(result.fcpMs, 1)
            << ",\"largestContentfulPaintMs\":" << jsonNumber(result.lcpMs, 1)
            << ",\"error\":" << jsonString(result.error) << "}\n";
    } else if (ok) {
        out << measure::FirstScreenResultText(result.seconds) << " (" << measure::EndName(result.end) << ")\n"
            << "first contentful paint: " << jsonNumber(result.fcpMs, 1) << " ms\n"
            << "largest contentful paint: " << jsonNumber(result.lcpMs, 1) << " ms\n";
    } else {
        err << measure::FailureText(result.end) << (result.error.empty() ? "" : " " + result.error) << "\n";
    }
    return ok ? kOk : kFailed;
}

} // namespace quorvane::cli
