#include "measure/video_test.h"

#include "common/flags.h"
#include "common/log_file.h"
#include "config/readers.h"
#include "config/xml_doc.h"
#include "measure/stream_player.h"
#include "measure/video_resolvers.h"
#include "platform/network_alive.h"

#include <cerrno>
#include <cstdlib>

namespace quorvane::measure
{

namespace
{

std::vector<std::string> configuredPages(const std::string& userId)
{
    std::vector<std::string> list;
    std::string selected;
    ReadModuleItems(userId, list, selected, "3");
    return list;
}

// The integer a value starts with, as the record's readers take it; 0 for
// none.
long long leadingInteger(const std::string& text)
{
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    return errno == ERANGE ? 0 : v;
}

} // namespace

const std::vector<VideoSite>& VideoSites()
{
    static const std::vector<VideoSite> sites = {
        {"ku6", "3", "酷6", "3"},    {"letv", "4", "乐视", "4"}, {"youku", "1", "优酷", "1"},
        {"tudou", "2", "土豆", "2"}, {"sina", "5", "新浪", ""},  {"sohu", "10", "搜狐", "10"},
    };
    return sites;
}

const VideoSite& VideoSiteOf(const std::string& address)
{
    static const VideoSite other{"", "0", "其他", ""};
    for (const VideoSite& s : VideoSites()) {
        if (address.find(s.label) != std::string::npos)
            return s;
    }
    return other;
}

const std::vector<std::string>& ConvertLabelOrder()
{
    static const std::vector<std::string> order = {"youku", "tudou", "letv", "sohu", "sina", "ku6"};
    return order;
}

std::vector<std::string> ConvertPageAddress(const std::string& pageUrl)
{
    for (const std::string& label : ConvertLabelOrder()) {
        if (pageUrl.find(label) == std::string::npos)
            continue;
        VideoResolver resolver(ReadVideoSites());
        resolver.Resolve(label, pageUrl);
        return resolver.addresses();
    }
    return {};
}

std::vector<std::string> VideoInfoPieces(const std::string& request)
{
    std::vector<std::string> pieces;
    const auto word = request.find(invoke::kInfo);
    if (word == std::string::npos)
        return pieces;
    const auto open = request.find("<string>", word);
    if (open == std::string::npos)
        return pieces;
    const auto from = open + 8;
    const auto close = request.find("</string>", from);
    const std::string payload = request.substr(from, close == std::string::npos ? std::string::npos : close - from);
    std::size_t at = 0;
    while (at <= payload.size()) {
        const auto hash = payload.find('#', at);
        const std::string piece = payload.substr(at, hash == std::string::npos ? std::string::npos : hash - at);
        if (!piece.empty())
            pieces.push_back(piece);
        if (hash == std::string::npos)
            break;
        at = hash + 1;
    }
    return pieces;
}

int IfCompleted(const std::string& loadsize, const std::string& totalsize)
{
    // An unknown size (0) would otherwise make any failed load "complete".
    const long long total = leadingInteger(totalsize);
    return total > 0 && leadingInteger(loadsize) >= total - 1 ? 1 : 0;
}

TestRecord VideoSpeedRecord(const std::string& streamAddress, const std::string& siteAddress,
                            const std::vector<std::string>& p)
{
    TestRecord r;
    r.kind = RecordKind::VideoSpeed;
    const VideoSite& site = VideoSiteOf(siteAddress);
    auto piece = [&](std::size_t i) { return i < p.size() ? p[i] : std::string(); };
    r.fields = {{"url", streamAddress},  {"mediatype", site.mediatype},
                {"totalsize", piece(2)}, {"totaltime", piece(5)},
                {"loadsize", piece(4)},  {"loadingtime", piece(1)},
                {"speed", piece(3)},     {"ifcompleted", std::to_string(IfCompleted(piece(4), piece(2)))}};
    r.tail = {{"MAXSPEED", piece(0)}};
    r.historyName = site.name;
    r.headline = piece(3);
    r.summaryName = streamAddress;
    return r;
}

std::map<std::string, std::string> ReadVideoPresets(const std::string& userId)
{
    std::map<std::string, std::string> presets;
    CXmlDoc doc;
    doc.Load(userSettingsPath(userId));
    doc.Rewind();
    if (!doc.FindChildElem("tasks"))
        return presets;
    doc.IntoElem();
    while (doc.FindChildElem("module")) {
        if (doc.GetChildAttrib("id") != "3")
            continue;
        doc.IntoElem();
        while (doc.FindChildElem("item"))
            presets[doc.GetChildAttrib("id")] = doc.GetChildData();
        doc.OutOfElem();
    }
    return presets;
}

std::string PresetPageFor(const std::map<std::string, std::string>& presets, const VideoSite& site)
{
    if (const auto it = presets.find(site.presetId); it != presets.end() && *site.presetId != '\0')
        return it->second;
    // The items in their document order would be nicer, but ids are unique
    // and the map's order is as good a tie-break as any.
    for (const auto& [id, page] : presets) {
        if (VideoSiteOf(page).label == std::string(site.label))
            return page;
    }
    return {};
}

// ---------------------------------------------------------------- the test

VideoSpeedTest::VideoSpeedTest(VideoTestSettings settings) : m_settings(std::move(settings))
{
    TakeRealServices(m_settings);
    if (!m_settings.pages)
        m_settings.pages = configuredPages;
    if (!m_settings.resolve)
        m_settings.resolve = [](const std::string& page) { return ResolveStreamAddress(page); };
    if (!m_settings.callPlayer)
        m_settings.callPlayer = [](const std::string&) {};
    if (!m_settings.waitPlayer)
        m_settings.waitPlayer = [] {};
}

void VideoSpeedTest::PlayManual(const std::string& streamAddress)
{
    {
        std::lock_guard lock(m_mutex);
        m_stream = streamAddress;
        m_automatic = false;
    }
    flags::autoAbortArmed = 0;
    flags::videoTestRunning = 1;
    m_settings.callPlayer(InvokeRequest(invoke::kPlay, streamAddress));
}

void VideoSpeedTest::Stop()
{
    m_settings.callPlayer(InvokeRequest(invoke::kStop, currentStreamAddress()));
    // A stopped run never calls back; the flag would otherwise keep the
    // user on this page for good.
    flags::videoTestRunning = 0;
}

int VideoSpeedTest::RunAutoTest(bool useStoredKey, bool /*isAutomatic*/)
{
    try {
        if (!m_settings.networkAlive())
            return 0;
        const std::vector<std::string> pages = m_settings.pages(user().userId);
        if (pages.empty())
            return 0;
        std::string page;
        {
            std::lock_guard lock(m_mutex);
            // A retry before any start has nothing kept; it picks as a first
            // start does.
            if (!useStoredKey || m_keptPage.empty())
                m_keptPage = pages[static_cast<std::size_t>(m_settings.random()) % pages.size()];
            page = m_keptPage;
        }
        autoLog("视频地址：" + page);
        const std::string stream = m_settings.resolve(page);
        if (stream.empty())
            return 1;
        {
            std::lock_guard lock(m_mutex);
            m_stream = stream;
            m_automatic = true;
        }
        autoLog("回调Flex的videoStartPaly方法播放视频 自动测速.......");
        m_settings.callPlayer(InvokeRequest(invoke::kAutoPlay, stream));
        m_settings.waitPlayer();
        return 2;
    } catch (const std::exception& e) {
        autoLog(std::string("视频测速异常：") + e.what());
        return 0;
    }
}

VideoSpeedTest::CallResult VideoSpeedTest::OnFlashCall(const std::string& request)
{
    CallResult out;
    std::vector<std::string> pieces = VideoInfoPieces(request);
    {
        std::lock_guard lock(m_mutex);
        m_info.clear();
        if (request.find(invoke::kInfo) != std::string::npos)
            m_info = pieces;
    }
    // A report of a stream that loaded nothing (no connection, an error
    // answer, an empty address) measured no line; it counts as unfinished,
    // as a report without six values does.
    if (pieces.size() == 6 && leadingInteger(pieces[4]) > 0) {
        out.complete = true;
        autoLog("视频测速结束");
        if (!AutomaticStopRequested()) {
            VideoMeasurement kept;
            {
                std::lock_guard lock(m_mutex);
                kept = {pieces, m_stream, m_automatic ? m_keptPage : m_stream, m_automatic};
            }
            keep(kept);
            out.recordReady = true;
        }
        if (flags::autoMode.load())
            ++flags::completedTaskCount;
    }
    flags::videoTestRunning = 0;
    out.quit = request.find(invoke::kQuit) != std::string::npos;
    return out;
}

RecordResult VideoSpeedTest::OnRecordReady(ResultRecorder& recorder, RecordShipper* shipper,
                                           const std::string& geographyId)
{
    return recordOnce(recorder, shipper, geographyId, [](const VideoMeasurement& run) {
        return std::pair{VideoSpeedRecord(run.stream, run.site, run.info), run.automatic};
    });
}

std::string VideoSpeedTest::currentStreamAddress() const
{
    std::lock_guard lock(m_mutex);
    return m_stream;
}

std::string VideoSpeedTest::keptPageAddress() const
{
    std::lock_guard lock(m_mutex);
    return m_keptPage;
}

std::vector<std::string> VideoSpeedTest::info() const
{
    std::lock_guard lock(m_mutex);
    return m_info;
}

void VideoSpeedTest::autoLog(const std::string& line) const
{
    CLogFile::append((m_settings.installDir / "auto.txt").string(), OneLogLine(line));
}

} // namespace quorvane::measure
