#pragma once
// Fixed texts and message numbers of the bandwidth test. The page shows the
// texts exactly as they stand.
namespace quorvane::measure
{

namespace bandwidth_text
{
inline constexpr const char* kNoNetwork = "接入网测速失败，请检查网络后重试！";
inline constexpr const char* kNoServer = "未匹配到测速服务器，请手动选择！";
inline constexpr const char* kMismatch =
    "选择的监测点与网络环境不匹配，测\n试的数据可能会低于实际接入速率，\n是否继续？";
inline constexpr const char* kServerBusy = "服务器忙，请稍后再试！";
inline constexpr const char* kValidationFailed = "执行请求验证失败，测速服务器异常！";
inline constexpr const char* kNoData = "无数据";
inline constexpr const char* kStartCaption = "手动测速";
inline constexpr const char* kExplainCaption = "查看测速说明";
inline constexpr int kExplainTooltipWidth = 500; // pixels
inline constexpr const char* kExplainTooltip =
    "本功能用于测试接入带宽，测试时\n（1）请关闭本机的如迅雷、在线听歌等网络应用。\n（2）请尽量避免同一出口带宽有其它机"
    "器进行网络应用。\n（3）请关闭卡巴斯基等杀毒软件再进行测试。\n软件会自动匹配一个合适的服务器为您测试，\n建议大家尽"
    "量使用推荐服务器测试。\n带宽单位为Mb，如家庭购买4M带宽，实际上就是4Mb（bit）=0."
    "5MB（Byte）\n，相当于用户下载速率大概是0.5MB/s（单位换算1Byte=8bit）";
} // namespace bandwidth_text

// The page's own messages. The engine calls the matching observer functions
// (bandwidth_test.h) on its worker threads; the page re-posts them to its
// window thread under these numbers.
enum BandwidthMessage : int {
    kMsgUploadDone = 1135,      // BandwidthObserver::directionDone(Upload): show upload results, stop the gauge
    kMsgProvinceChanged = 1136, // the page's own: refill the server list
    kMsgDownloadDone = 1137,    // BandwidthObserver::directionDone(Download): show download results
    kMsgRunCompleted = 1138,    // BandwidthObserver::recordReady: OnRecordReady (the record-ready 0x472)
};

} // namespace quorvane::measure
