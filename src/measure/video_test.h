#pragma once
// The video playback test without a window: the site table, the player
// requests, the player's measurement call, the Pccollect_videospeed record
// and the automatic entry. The player page CVideoSpeedChild owns one
// VideoSpeedTest and a StreamPlayer and wires the two together; the
// command line drives the same objects.
//
// Threads:
//  - PlayManual, Stop, OnFlashCall and OnRecordReady belong to the page's
//    window thread.
//  - RunAutoTest runs on the scheduler's thread: it resolves the page,
//    sends the automatic play request and blocks until the player's run
//    has ended (its measurement call then travels to the window thread).
//
// Program-wide flags (common/flags.h): autoMode, autoAbortArmed,
// stopRequested, completedTaskCount, videoTestRunning.
#include "measure/random_source.h"
#include "measure/record_steps.h"
#include "measure/run_lifecycle.h"
#include "results/record.h"
#include "results/session.h"

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quorvane::measure
{

namespace video_text
{
inline constexpr const char* kNoPlayer = "没有安装flash插件!或者版本过低请下载或更新插件！";
inline constexpr const char* kNoNetwork = "网络连接失败，请检查网络后重试！";
inline constexpr const char* kTip = "提示";
inline constexpr const char* kBadPlayUrl = "请输入有效的URL地址";
inline constexpr const char* kBadConvertUrl = "请先输入有效的URL地址！";
inline constexpr const char* kNoStream = "对不起，解析不出该视频，请换其他网页视频解析！";
} // namespace video_text

// Record-ready message of the player page to itself.
inline constexpr int kMsgVideoRecordReady = 0x478;

struct VideoSite {
    const char* label;     // looked for in an address
    const char* mediatype; // the record's code
    const char* name;      // the history line's name
    const char* presetId;  // the preset button's item id; "" without a button
};

// The sites in the order their labels are tried; the first contained label
// wins. An address with none of them is the "other" site.
const std::vector<VideoSite>& VideoSites();
const VideoSite& VideoSiteOf(const std::string& address);

// Labels in the order the address page's conversion tries them.
const std::vector<std::string>& ConvertLabelOrder();

// The address page's conversion: the page resolved by the first label of
// ConvertLabelOrder it contains, and every stream address found (bounded);
// empty when none. Blocks for the site's requests.
std::vector<std::string> ConvertPageAddress(const std::string& pageUrl);

// The measurement's pieces when `request` is the player's "VideoInfomation"
// call: the text between the first "<string>" after that word and the next
// "</string>", split at "#" with empty pieces dropped. Empty for any other
// call.
std::vector<std::string> VideoInfoPieces(const std::string& request);

// 1 when loadsize is at least totalsize − 1 (both read as integers) and a
// size is known, else 0.
int IfCompleted(const std::string& loadsize, const std::string& totalsize);

// The record of six pieces: its own fields before the common block, and its
// tail (MAXSPEED) after it.
TestRecord VideoSpeedRecord(const std::string& streamAddress, const std::string& siteAddress,
                            const std::vector<std::string>& pieces);

// The preset map of the user's settings document: every item of tasks
// module "3", by its id attribute.
std::map<std::string, std::string> ReadVideoPresets(const std::string& userId);

// The page a preset button plays: the item with the site's id, else the
// first item whose address is of that site (a document numbered 1..n has
// no item "10"); "" when neither.
std::string PresetPageFor(const std::map<std::string, std::string>& presets, const VideoSite& site);

// A measurement the player reported: its six values and the addresses they
// belong to, kept for the record.
struct VideoMeasurement {
    std::vector<std::string> info;
    std::string stream, site;
    bool automatic = false; // how the run was started, never the flag at writing time
    bool recordable() const { return info.size() == 6; }
};

struct VideoTestSettings {
    std::filesystem::path installDir{"."};
    std::function<bool()> networkAlive; // null: platform::IsNetworkAlive
    RandomSource random;                // null: seededRandomSource()
    // The automatic pages of a user; null: ReadModuleItems of module "3".
    std::function<std::vector<std::string>(const std::string& userId)> pages;
    // A page address to its stream address ("" when none). Null: the site
    // resolvers (ResolveStreamAddress).
    std::function<std::string(const std::string& pageUrl)> resolve;
    // Sends an invoke request to the player (CallFunction).
    std::function<void(const std::string& request)> callPlayer;
    // Blocks until the player's current run has ended.
    std::function<void()> waitPlayer;
};

class VideoSpeedTest : private RunLifecycle<VideoMeasurement>
{
public:
    explicit VideoSpeedTest(VideoTestSettings settings);

    using RunLifecycle::setUser;
    using RunLifecycle::user;

    // A manual play of `streamAddress` (may be empty: the player then reports
    // what it could not load).
    void PlayManual(const std::string& streamAddress);
    // The stop request with the current stream address.
    void Stop();

    // 0 nothing started (no network, no page, an error), 1 the page gave no
    // stream (a retry with useStoredKey replays it), 2 played.
    int RunAutoTest(bool useStoredKey, bool isAutomatic);

    struct CallResult {
        bool complete = false;    // six values came, and some bytes loaded
        bool recordReady = false; // 0x478 is to be handled
        bool quit = false;        // the user closed the player
    };
    // The player's call (FlashCall).
    CallResult OnFlashCall(const std::string& request);

    // 0x478: writes the record of the last complete measurement, once.
    RecordResult OnRecordReady(ResultRecorder& recorder, RecordShipper* shipper, const std::string& geographyId);

    std::string currentStreamAddress() const;
    std::string keptPageAddress() const;
    std::vector<std::string> info() const;

private:
    void autoLog(const std::string& line) const;

    VideoTestSettings m_settings;
    mutable std::mutex m_mutex; // guards the members below
    std::string m_stream, m_keptPage;
    bool m_automatic = false; // the last start was RunAutoTest's
    std::vector<std::string> m_info; // of the player's last call
};

} // namespace quorvane::measure
