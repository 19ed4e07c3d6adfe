#pragma once
// The web page first-screen test without a browser: the address check, the
// script that measures inside the page, the reports it sends, the texts and
// the record. The browser view (src/webview) runs the script and enforces the
// time bound; the page CWebpagePerformanceDlg and quorvane-cli show what it
// reports.
//
// First-screen time: from the latest navigation start of any frame of the
// page until the top document's body is taller than kFirstScreenHeight
// pixels, any frame's document has completed (its load event), or the bound
// (kFirstScreenBound) has passed. Both ends are taken inside the page on its
// own high-resolution clock, so the rate at which anything polls does not
// bias the figure. A page that was hidden at any moment of its measurement
// (timers throttled, no painting) and a navigation that produced no document
// give no figure.
#include "measure/address_pattern.h"
#include "measure/random_source.h"
#include "results/record.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvane::measure
{

namespace webpage_text
{
inline constexpr const char* kEmptyAddress = "请输入网页测速链接地址！";
inline constexpr const char* kBadAddress = "请输入正确的网页链接地址！";
inline constexpr const char* kNoConnection = "网络连接失败，请检查网络后重试！";
inline constexpr const char* kLoadFailed = "网页加载失败，本次测试无结果！";
inline constexpr const char* kNavigationLoop = "网页不断跳转，本次测试无结果！";
inline constexpr const char* kHidden = "网页在测试中被隐藏，本次测试无结果！";
inline constexpr const char* kResultTitle = "执行结果";
inline constexpr const char* kMore = "更多";
inline constexpr const char* kBack = "返回上一层";
} // namespace webpage_text

inline constexpr int kFirstScreenHeight = 600; // pixels; taller ends the measurement
inline constexpr std::chrono::milliseconds kFirstScreenBound{10000};
// A page that keeps navigating never reaches the bound, which counts from the
// latest navigation: the run is given up this long after it started.
inline constexpr std::chrono::milliseconds kNavigationLoopLimit{30000};

// The figure as the record and history carry it ("%.3f", seconds) and the
// result window's text ("首屏时间：%.3fs").
std::string FirstScreenText(double seconds);
std::string FirstScreenResultText(double seconds);

// The screen record of a finished measurement: url (the page under test as
// it was started), firstscreentime, and an empty loadingtime. The first
// contentful paint, when the page reported one, goes with it as a figure
// outside the record.
TestRecord ScreenRecord(const std::string& pageUnderTest, double seconds,
                        std::optional<double> firstContentfulPaintMs = std::nullopt);

// ---------------------------------------------------------------- in-page script

// The size of the browser view on every path (the page, an automatic run, the
// command line), in CSS pixels. Shorter than the first screen: a page without
// a doctype has a body as tall as the view, which must not end the
// measurement by itself.
inline constexpr int kViewWidth = 539;
inline constexpr int kViewHeight = 483;

// The script injected into every frame at document creation, in the view's
// own script world: the page shares the document with it but none of its
// variables, so it can neither read `token` nor call into the script.
// `token` tags the reports so that nothing the page writes to its console,
// and nothing an earlier measurement's page sends, is taken for one.
std::string FirstScreenScript(const std::string& token);

// What the script reports (one console line each). Times are epoch
// milliseconds on the page's own clock (performance.timeOrigin + now()).
struct FirstScreenReport {
    enum class Kind {
        NavigationStart, // a document of some frame started navigating at `atMs`
        FrameComplete,   // an inner frame's document completed (its load event) at `atMs`
        FirstScreen,     // the top document ended the first screen at `atMs`
    };
    Kind kind = Kind::NavigationStart;
    double atMs = 0;
    bool topFrame = false;    // NavigationStart: of the top document
    std::string reason;       // FirstScreen: "height" or "complete"
    bool hiddenSeen = false;  // FirstScreen: the page was not visible at some moment
    long animationFrames = 0; // FirstScreen: animation frames the page was given
};

// Parses one console line; nothing for any line that is not a report with
// this token, or whose numbers are unusable.
std::optional<FirstScreenReport> ParseFirstScreenReport(const std::string& line, const std::string& token);

// The first-screen time of an end at `endMs`: counted from the latest
// navigation start not after the end; nothing when no start precedes it.
std::optional<double> FirstScreenSeconds(const std::vector<double>& navigationStartsMs, double endMs);

// A fresh token for one measurement.
std::string NewFirstScreenToken(const RandomSource& random);

// How a measurement ended.
struct FirstScreenResult {
    enum class End { Height, Complete, Bound, LoadFailed, NavigationLoop, Hidden };
    End end = End::Bound;
    double seconds = 0;          // valid unless failed()
    std::optional<double> fcpMs; // first contentful paint, ms from the top document's navigation start
    std::optional<double> lcpMs; // largest contentful paint (the candidate at the end)
    long animationFrames = -1;   // animation frames the page was given (-1: not reported)
    std::string error;           // LoadFailed: what went wrong
    // The top document's first byte, ms from its navigation start (not
    // reported when the page did not answer at the end).
    std::optional<double> firstByteMs;
    bool failed() const { return end == End::LoadFailed || end == End::NavigationLoop || end == End::Hidden; }
};

// "height", "complete", "bound", "load-failed", "navigation-loop", "hidden"
const char* EndName(FirstScreenResult::End end);
// The text a user sees for a failed measurement.
const char* FailureText(FirstScreenResult::End end);

// ---------------------------------------------------------------- sites

struct PortalButton {
    std::string label;   // names the images: "Image/web page/btn_<label>_normal.png" and "_down.png"
    std::string address; // the page it measures
};

// The portal page's buttons (before "更多") and the more-portals page's
// buttons (before "返回上一层"), in order. The addresses are stand-in pages of
// the reference service on loopback.
const std::vector<PortalButton>& PortalButtons();
const std::vector<PortalButton>& MorePortalButtons();

// The automatic run's pick: `random() % count`; empty for an empty list.
std::string PickAutoSite(const std::vector<std::string>& sites, const RandomSource& random);

} // namespace quorvane::measure
