#include "measure/webpage_test.h"

#include "measure/bandwidth_figures.h"

#include <boost/regex.hpp>

#include <charconv>
#include <cmath>
#include <sstream>

namespace quorvane::measure
{

namespace
{

// The script's reports, times in epoch ms on the page's clock:
// "<token> nav <ms> top|frame", "<token> done <ms>" (an inner frame's load)
// and "<token> end <ms> height|complete visible|hidden <animation frames>".
// Everything it keeps lives in its own script world; the page's script
// errors are the page world's affair (see the view).
const char* const kScript = R"JS((function () {
  'use strict';
  var token = '@TOKEN@';
  if (window.__qvSeen) return;
  window.__qvSeen = true;
  if (!/^(https?|ftp|file):/i.test(String(location.href))) return; // about:blank and the like
  var report = console.log.bind(console);
  var clock = function () { return performance.timeOrigin + performance.now(); };
  var isTop = false;
  try { isTop = window.top === window; } catch (e) {}
  report(token + ' nav ' + performance.timeOrigin + (isTop ? ' top' : ' frame'));
  if (!isTop) {
    // A frame: its navigation start restarts the clock; its load ends the
    // measurement.
    window.addEventListener('load', function () { report(token + ' done ' + clock()); });
    return;
  }
  var ended = false, mo = null, ro = null, observedBody = null;
  var lcp = -1, frames = 0;
  var hidden = document.visibilityState !== 'visible';
  document.addEventListener('visibilitychange', function () {
    if (!ended && document.visibilityState !== 'visible') hidden = true;
  });
  function tick() { if (ended) return; ++frames; requestAnimationFrame(tick); }
  requestAnimationFrame(tick);
  function finish(reason) {
    if (ended) return;
    var t = clock();
    ended = true;
    if (mo) mo.disconnect();
    if (ro) ro.disconnect();
    if (document.visibilityState !== 'visible') hidden = true;
    report(token + ' end ' + t + ' ' + reason + ' ' + (hidden ? 'hidden' : 'visible') + ' ' + frames);
  }
  function check() {
    if (ended) return;
    var b = document.body;
    if (!b) return;
    if (b !== observedBody && typeof ResizeObserver === 'function') {
      if (!ro) ro = new ResizeObserver(check);
      if (observedBody) ro.unobserve(observedBody);
      ro.observe(b);
      observedBody = b;
    }
    if (b.scrollHeight > @HEIGHT@) finish('height');
  }
  mo = new MutationObserver(check);
  mo.observe(document, {childList: true, subtree: true, attributes: true, characterData: true});
  document.addEventListener('DOMContentLoaded', check);
  window.addEventListener('load', function () { check(); finish('complete'); });
  try {
    new PerformanceObserver(function (list) {
      var es = list.getEntries();
      if (es.length) lcp = es[es.length - 1].startTime;
    }).observe({type: 'largest-contentful-paint', buffered: true});
  } catch (e) {}
  // Asked by the view at the end: paints, whether the page was ever hidden
  // before its end, the animation frames it was given, and where the top
  // document's navigation spent its time (ms from its start; -1 not yet).
  window.__qvState = function () {
    var f = performance.getEntriesByName('first-contentful-paint');
    var n = performance.getEntriesByType('navigation')[0] || {};
    var at = function (v) { return v > 0 ? v : -1; };
    return [f.length ? f[0].startTime : -1, lcp, hidden, frames,
            at(n.requestStart), at(n.responseStart), at(n.domInteractive)];
  };
})();
)JS";

bool parseNumber(const std::string& text, double& out)
{
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, ec] = std::from_chars(first, last, out);
    return ec == std::errc() && end == last && std::isfinite(out);
}

std::vector<PortalButton> buttons(std::initializer_list<const char*> labels)
{
    std::vector<PortalButton> out;
    for (const char* label : labels) {
        const std::string l = label;
        // The first portal's button opens its news page.
        const std::string page = l == "baidu" ? "news/index.html" : "index.html";
        out.push_back({l, "http://127.0.0.1:18080/portal/" + l + "/" + page});
    }
    return out;
}

} // namespace

std::string FirstScreenText(double seconds)
{
    return FormatFixed(seconds, 3);
}

std::string FirstScreenResultText(double seconds)
{
    return "首屏时间：" + FirstScreenText(seconds) + "s";
}

TestRecord ScreenRecord(const std::string& pageUnderTest, double seconds, std::optional<double> firstContentfulPaintMs)
{
    TestRecord r;
    r.kind = RecordKind::Screen;
    const std::string text = FirstScreenText(seconds);
    r.fields = {{"url", pageUnderTest}, {"firstscreentime", text}, {"loadingtime", ""}};
    if (firstContentfulPaintMs)
        r.figures = {{"fcp_ms", FormatFixed(*firstContentfulPaintMs, 1)}};
    r.historyName = pageUnderTest;
    r.headline = text;
    return r;
}

std::string FirstScreenScript(const std::string& token)
{
    std::string s = kScript;
    for (std::size_t at; (at = s.find("@TOKEN@")) != std::string::npos;)
        s.replace(at, 7, token);
    s.replace(s.find("@HEIGHT@"), 8, std::to_string(kFirstScreenHeight));
    return s;
}

std::optional<FirstScreenReport> ParseFirstScreenReport(const std::string& line, const std::string& token)
{
    std::istringstream in(line);
    std::string tag, kind;
    if (!(in >> tag >> kind) || token.empty() || tag != token)
        return std::nullopt;
    std::vector<std::string> rest;
    for (std::string w; in >> w;)
        rest.push_back(w);
    FirstScreenReport r;
    if (rest.empty() || !parseNumber(rest[0], r.atMs) || r.atMs < 0)
        return std::nullopt;
    if (kind == "nav" && rest.size() == 2 && (rest[1] == "top" || rest[1] == "frame")) {
        r.kind = FirstScreenReport::Kind::NavigationStart;
        r.topFrame = rest[1] == "top";
        return r;
    }
    if (kind == "done" && rest.size() == 1) {
        r.kind = FirstScreenReport::Kind::FrameComplete;
        return r;
    }
    if (kind == "end" && rest.size() == 4 && (rest[1] == "height" || rest[1] == "complete") &&
        (rest[2] == "visible" || rest[2] == "hidden")) {
        r.kind = FirstScreenReport::Kind::FirstScreen;
        r.reason = rest[1];
        r.hiddenSeen = rest[2] == "hidden";
        double frames = 0;
        if (!parseNumber(rest[3], frames) || frames < 0 || frames != std::floor(frames) || frames > 1e9)
            return std::nullopt;
        r.animationFrames = static_cast<long>(frames);
        return r;
    }
    return std::nullopt;
}

std::optional<double> FirstScreenSeconds(const std::vector<double>& navigationStartsMs, double endMs)
{
    std::optional<double> latest;
    for (const double s : navigationStartsMs)
        if (s <= endMs && (!latest || s > *latest))
            latest = s;
    if (!latest)
        return std::nullopt;
    return (endMs - *latest) / 1000.0;
}

std::string NewFirstScreenToken(const RandomSource& random)
{
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string t = "qv";
    for (int i = 0; i < 16; ++i)
        t += digits[static_cast<unsigned>(random()) % 36];
    return t;
}

const char* EndName(FirstScreenResult::End end)
{
    switch (end) {
    case FirstScreenResult::End::Height:
        return "height";
    case FirstScreenResult::End::Complete:
        return "complete";
    case FirstScreenResult::End::Bound:
        return "bound";
    case FirstScreenResult::End::LoadFailed:
        return "load-failed";
    case FirstScreenResult::End::NavigationLoop:
        return "navigation-loop";
    case FirstScreenResult::End::Hidden:
        return "hidden";
    }
    return "bound";
}

const char* FailureText(FirstScreenResult::End end)
{
    switch (end) {
    case FirstScreenResult::End::NavigationLoop:
        return webpage_text::kNavigationLoop;
    case FirstScreenResult::End::Hidden:
        return webpage_text::kHidden;
    default:
        return webpage_text::kLoadFailed;
    }
}

const std::vector<PortalButton>& PortalButtons()
{
    static const std::vector<PortalButton> list =
        buttons({"baidu", "qq", "sina", "youku", "sohu", "163", "taobao", "jd", "tudou"});
    return list;
}

const std::vector<PortalButton>& MorePortalButtons()
{
    static const std::vector<PortalButton> list =
        buttons({"renren",     "google",         "soso",     "ku6",     "kaixin", "mop", "tom",    "sogou",
                 "56",         "yahoo",          "pconline", "homeway", "xunlei", "net", "xinnet", "dnspod",
                 "chinacache", "chinanetcenter", "hao123",   "360",     "ifeng"});
    return list;
}

std::string PickAutoSite(const std::vector<std::string>& sites, const RandomSource& random)
{
    if (sites.empty())
        return {};
    return sites[static_cast<std::size_t>(random()) % sites.size()];
}

} // namespace quorvane::measure
