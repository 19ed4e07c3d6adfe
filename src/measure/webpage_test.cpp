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

// The script's reports: "<token> nav <epoch ms>" and
// "<token> end <seconds> <reason> <epoch ms of the navigation start>".
const char* const kScript = R"JS((function () {
  'use strict';
  var token = '@TOKEN@';
  if (window['__qv_' + token]) return;
  window['__qv_' + token] = true;
  // The page's script errors go nowhere: no dialog, no console.
  window.onerror = function () { return true; };
  window.addEventListener('error', function (e) { if (e instanceof ErrorEvent) e.preventDefault(); }, true);
  window.addEventListener('unhandledrejection', function (e) { e.preventDefault(); });
  if (!/^(https?|ftp|file):/i.test(String(location.href))) return; // about:blank and the like
  var start = performance.timeOrigin;
  var report = console.log.bind(console);
  var top = null;
  try { top = window.top; } catch (e) {}
  if (top !== window) {
    // A frame: its navigation start restarts the clock; its load ends the
    // measurement.
    var post = function (m) { try { top.postMessage(m, '*'); } catch (e) {} };
    post({qv: token, kind: 'nav', at: start});
    window.addEventListener('load', function () { post({qv: token, kind: 'done'}); });
    return;
  }
  var latest = start, ended = false, mo = null, ro = null, observedBody = null;
  var lcp = -1;
  report(token + ' nav ' + start);
  function finish(reason) {
    if (ended) return;
    var t = performance.timeOrigin + performance.now();
    ended = true;
    if (mo) mo.disconnect();
    if (ro) ro.disconnect();
    report(token + ' end ' + ((t - latest) / 1000).toFixed(6) + ' ' + reason + ' ' + latest);
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
  window.addEventListener('message', function (e) {
    var d = e.data;
    if (!d || typeof d !== 'object' || d.qv !== token || ended) return;
    if (d.kind === 'nav' && typeof d.at === 'number' && d.at > latest) {
      latest = d.at;
      report(token + ' nav ' + latest);
    } else if (d.kind === 'done') {
      check();
      finish('complete');
    }
  });
  try {
    new PerformanceObserver(function (list) {
      var es = list.getEntries();
      if (es.length) lcp = es[es.length - 1].startTime;
    }).observe({type: 'largest-contentful-paint', buffered: true});
  } catch (e) {}
  window['__qvPaints_' + token] = function () {
    var f = performance.getEntriesByName('first-contentful-paint');
    return [f.length ? f[0].startTime : -1, lcp];
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

TestRecord ScreenRecord(const std::string& pageUnderTest, double seconds)
{
    TestRecord r;
    r.kind = RecordKind::Screen;
    const std::string text = FirstScreenText(seconds);
    r.fields = {{"url", pageUnderTest}, {"firstscreentime", text}, {"loadingtime", ""}};
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
    if (kind == "nav" && rest.size() == 1) {
        r.kind = FirstScreenReport::Kind::NavigationStart;
        if (!parseNumber(rest[0], r.navigationStartMs))
            return std::nullopt;
        return r;
    }
    if (kind == "end" && rest.size() == 3 && (rest[1] == "height" || rest[1] == "complete")) {
        r.kind = FirstScreenReport::Kind::FirstScreen;
        r.reason = rest[1];
        if (!parseNumber(rest[0], r.seconds) || r.seconds < 0 || !parseNumber(rest[2], r.navigationStartMs))
            return std::nullopt;
        return r;
    }
    return std::nullopt;
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
    }
    return "bound";
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
