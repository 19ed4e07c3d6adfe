#include "web_pages.h"

#include "answers.h"

#include <algorithm>
#include <charconv>

namespace refsvc
{

namespace
{

std::optional<int> number(const std::map<std::string, std::string>& query, const char* key, int max)
{
    const auto it = query.find(key);
    if (it == query.end())
        return std::nullopt;
    long long v = 0;
    const char* first = it->second.data();
    const char* last = first + it->second.size();
    const auto [end, ec] = std::from_chars(first, last, v);
    if (ec != std::errc() || end != last)
        return std::nullopt;
    return static_cast<int>(std::clamp<long long>(v, 0, max));
}

// Everything a page can try against the measurement's end: read tokens from
// the window's names, from messages and from what is logged, then report an
// end at once with each of them, in every report shape, and post "done".
const char* const kForgeScript = R"JS(  var seen = {};
  var log = console.log;
  console.log = function (line) {
    var w = String(line).split(' ')[0];
    if (w && w !== 'qv') seen[w] = true;
    return log.apply(console, arguments);
  };
  window.addEventListener('message', function (e) {
    if (e.data && typeof e.data.qv === 'string') seen[e.data.qv] = true;
  }, true);
  function forge() {
    var now = performance.timeOrigin + performance.now();
    Object.getOwnPropertyNames(window).forEach(function (k) {
      var m = /^__qv_?(.*)$/.exec(k);
      if (m && m[1]) seen[m[1].replace(/^Paints_/, '')] = true;
    });
    seen.qv = true;
    Object.keys(seen).forEach(function (t) {
      log.call(console, t + ' nav ' + now + ' top');
      log.call(console, t + ' end ' + now + ' height visible 1');
      log.call(console, t + ' end 0.001000 height ' + now);
      window.postMessage({qv: t, kind: 'done'}, '*');
      window.postMessage({qv: t, kind: 'nav', at: now}, '*');
    });
  }
  forge();
  setInterval(forge, 10);
)JS";

std::string atMs(int ms, const std::string& body)
{
    return "  at(" + std::to_string(ms) + ", function () {" + body + "});\n";
}

} // namespace

TestPageParams parseTestPageParams(const std::map<std::string, std::string>& query)
{
    TestPageParams p;
    p.growMs = number(query, "grow_ms", kMaxHoldMs);
    p.frameMs = number(query, "frame_ms", kMaxHoldMs);
    p.loopMs = number(query, "loop_ms", kMaxHoldMs);
    p.bodyPx = number(query, "body_px", 100000);
    p.holdMs = p.growMs ? std::min(*p.growMs + 3000, kMaxHoldMs) : 20000;
    if (const auto h = number(query, "hold_ms", kMaxHoldMs))
        p.holdMs = *h;
    if (const auto h = number(query, "height", 100000))
        p.height = *h;
    if (const auto n = number(query, "popups", 100))
        p.popups = *n;
    p.errors = query.count("errors") && query.at("errors") == "1";
    p.quirks = query.count("quirks") && query.at("quirks") == "1";
    p.forge = query.count("forge") && query.at("forge") == "1";
    if (const auto n = number(query, "ping_ms", kMaxHoldMs); n && *n >= 10)
        p.pingMs = n;
    if (const auto a = query.find("answer"); a != query.end())
        p.answer = a->second == "204"          ? TestPageParams::Answer::NoContent
                   : a->second == "attachment" ? TestPageParams::Answer::Attachment
                                               : TestPageParams::Answer::Page;
    return p;
}

std::string testPageHtml(const TestPageParams& p)
{
    std::string html = std::string(p.quirks ? "" : "<!DOCTYPE html>\n") +
                       "<html><head><meta charset=\"utf-8\"><title>" + htmlEscape(p.title) +
                       "</title>\n<style>body{margin:8px;font:14px sans-serif}"
                       ".block{background:#dfe8f4;margin-top:8px}" +
                       (p.bodyPx ? "body{margin:0;overflow:hidden;height:" + std::to_string(*p.bodyPx) + "px}" : "") +
                       "</style></head>\n<body>\n<h1>" + htmlEscape(p.title) +
                       "</h1>\n<p>Reference page on loopback.</p>\n" +
                       "<p><a id=\"popup\" href=\"/test/page?grow_ms=500\" target=\"_blank\">pop-up</a></p>\n";
    if (p.holdMs > 0)
        html += "<img src=\"/test/hold?ms=" + std::to_string(p.holdMs) + "\" width=\"1\" height=\"1\" alt=\"\">\n";
    html += "<script>\n(function () {\n"
            "  function at(ms, f) { setTimeout(f, Math.max(0, ms - performance.now())); }\n";
    if (p.growMs)
        html += atMs(*p.growMs, "var d = document.createElement('div'); d.className = 'block'; d.style.height = '" +
                                    std::to_string(p.height) + "px'; document.body.appendChild(d);");
    if (p.frameMs)
        html += atMs(*p.frameMs, "var f = document.createElement('iframe'); f.src = '/test/page?hold_ms=" +
                                     std::to_string(p.holdMs) + "'; document.body.appendChild(f);");
    if (p.loopMs)
        html += atMs(*p.loopMs, "location.replace(location.href);");
    if (p.popups > 0)
        html += "  for (var i = 0; i < " + std::to_string(p.popups) +
                "; ++i) window.open('/test/page?hold_ms=0&n=' + i, '_blank');\n";
    if (p.pingMs)
        html += "  setInterval(function () { fetch('/test/hold?ms=0', {cache: 'no-store'}).catch(function () {}); }, " +
                std::to_string(*p.pingMs) + ");\n";
    if (p.forge)
        html += kForgeScript;
    if (p.errors)
        html += "  setTimeout(function () { undefinedFunction(); }, 0);\n"
                "  alert('alert'); confirm('confirm'); prompt('prompt');\n"
                "  throw new Error('thrown by the page');\n";
    html += "})();\n</script>\n</body></html>\n";
    return html;
}

TestPageParams portalPageParams(const std::string& path)
{
    TestPageParams p;
    const std::string first = path.substr(0, path.find('/'));
    p.title = first.empty() ? "portal" : first;
    unsigned hash = 2166136261u; // FNV-1a: stable across runs and builds
    for (const unsigned char c : path)
        hash = (hash ^ c) * 16777619u;
    p.growMs = 150 + static_cast<int>(hash % 500);
    p.holdMs = *p.growMs + 500;
    p.height = 1200;
    return p;
}

} // namespace refsvc
