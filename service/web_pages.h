#pragma once
// Pages for the first-screen test: stand-ins for portal sites and test pages
// whose behaviour is chosen in the query, so that a measurement can be checked
// against a known moment. Pure functions; the service binds them.
//
// /test/page query keys (milliseconds count from the page's own navigation
// start, performance.timeOrigin, so server and network delays do not shift
// them):
//   grow_ms   the body gains a block of `height` pixels (default 1000)
//   hold_ms   an image that the service answers only after this long keeps
//             the document from completing (default: grow_ms + 3000, or
//             20000 for a page that never grows; 0 = none)
//   frame_ms  an inner frame is created then (its page never grows and is
//             held like this one)
//   popups    this many window.open calls at start (not user-initiated)
//   errors=1  the page throws script errors and calls alert/confirm/prompt
//   loop_ms   the page navigates to itself again after this long
//   body_px   the body is exactly this tall (content beyond is clipped)
//   quirks=1  no doctype: the body is as tall as the window at least
//   forge=1   the page tries to forge the measurement's end from its first
//             moment: it logs report-shaped console lines with every token it
//             can find or guess, and posts "done" messages
//   ping_ms   the page fetches /test/hold?ms=0 this often for as long as it runs
//   answer    "204": no content; "attachment": a file to download, not a page
// A link with id "popup" opens /test/page?grow_ms=500 in a new window when
// clicked (a user-initiated pop-up).
#include <map>
#include <optional>
#include <string>

namespace refsvc
{

struct TestPageParams {
    std::optional<int> growMs;
    int holdMs = 20000;
    int height = 1000;
    std::optional<int> frameMs;
    int popups = 0;
    bool errors = false;
    std::optional<int> loopMs;
    std::optional<int> bodyPx;
    bool quirks = false;
    bool forge = false;
    std::optional<int> pingMs;
    enum class Answer { Page, NoContent, Attachment };
    Answer answer = Answer::Page;
    std::string title = "Test page";
};

// Longest hold the service grants; longer values are cut to it.
inline constexpr int kMaxHoldMs = 30000;

// Reads the query keys; numbers outside 0..kMaxHoldMs (popups 0..100) are
// clamped, unreadable ones ignored.
TestPageParams parseTestPageParams(const std::map<std::string, std::string>& query);

std::string testPageHtml(const TestPageParams& params);

// The portal stand-in for a path under /portal/ ("news/index.html"): a page
// titled after its first segment that fills the first screen at a moment
// derived from the path (between 150 and 650 ms), so each site measures
// differently but always the same.
TestPageParams portalPageParams(const std::string& path);

} // namespace refsvc
