#include "results/record.h"

#include "common/codepage.h"
#include "common/property_file.h"
#include "results/durable_file.h"
#include "results/history.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace quorvane
{

namespace
{

const char* kindWord(RecordKind kind)
{
    switch (kind) {
    case RecordKind::Band:
        return "band";
    case RecordKind::FileDown:
        return "filedown";
    case RecordKind::Screen:
        return "screen";
    case RecordKind::VideoSpeed:
        return "videospeed";
    case RecordKind::Error:
        return "error";
    }
    return "error";
}

bool usesCrLf(RecordKind kind)
{
    return kind == RecordKind::VideoSpeed || kind == RecordKind::Error;
}

std::string oneLine(std::string value)
{
    for (char& c : value) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return value;
}

const char* testName(RecordKind kind)
{
    switch (kind) {
    case RecordKind::Band:
        return "带宽测速";
    case RecordKind::FileDown:
        return "文件下载";
    case RecordKind::Screen:
        return "网页性能";
    case RecordKind::VideoSpeed:
        return "视频测速";
    case RecordKind::Error:
        break;
    }
    return "自动测速";
}

std::string historyValue(RecordKind kind, const std::string& headline)
{
    switch (kind) {
    case RecordKind::Band:
        return headline + "Mb/s";
    case RecordKind::Screen:
        return headline + " s";
    default:
        return headline + " KB/s";
    }
}

// The first `count` characters of a UTF-8 text.
std::string firstCharacters(const std::string& text, std::size_t count)
{
    std::size_t pos = 0;
    for (std::size_t n = 0; n < count && pos < text.size(); ++n) {
        ++pos;
        while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80)
            ++pos;
    }
    return text.substr(0, pos);
}

std::string latestResultText(const TestRecord& record, const RecordTime& time)
{
    const std::string stamp = formatStamp(time);
    const std::string& name = record.summaryName.empty() ? record.historyName : record.summaryName;
    switch (record.kind) {
    case RecordKind::Band:
        return "最近一次带宽测速结果：\n测速服务器：" + name + "\n估算带宽：" + record.headline + "Mb/s\n测速时间：" +
               stamp;
    case RecordKind::FileDown:
        return "最近一次文件下载结果：\n文件类型：" + name + "\n平均速率：" + record.headline + " KB/s\n 测速时间：" +
               stamp;
    case RecordKind::Screen:
        return "最近一次网页性能结果：\n网站地址：" + name + "\n首屏时间：" + record.headline + "s\n测速时间：" + stamp;
    case RecordKind::VideoSpeed:
        return "最近一次视频测速结果：\n视频地址：" + firstCharacters(name, 50) + "\n平均速率：" + record.headline +
               " KB/s\n测速时间： " + stamp;
    case RecordKind::Error:
        break;
    }
    return {};
}

} // namespace

std::string recordFileName(RecordKind kind, const RecordTime& t)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "Pccollect_%s_%04d%02d%02d%02d.dat", kindWord(kind), t.year, t.month, t.day, t.hour);
    return buf;
}

std::string recordNameOfTemp(const std::string& tempName)
{
    std::string_view s = tempName;
    if (!s.starts_with(".Pccollect_"))
        return {};
    s.remove_prefix(1);
    const std::string_view suffix = kRecordTempSuffix;
    if (s.ends_with(suffix)) {
        s.remove_suffix(suffix.size());
        if (s.size() < 7 || s[s.size() - 7] != '.')
            return {};
        s.remove_suffix(7);
    } else if (s.ends_with(".tmp")) {
        s.remove_suffix(4);
    } else {
        return {};
    }
    return std::string(s);
}

RecordEncoder gbkRecordEncoder()
{
    return [](std::string_view utf8) { return tryUtf8ToGbk(utf8); };
}

std::optional<std::string> recordBytes(RecordKind kind, const std::vector<RecordField>& fields,
                                       const RecordEncoder& encode)
{
    const char* end = usesCrLf(kind) ? "\r\n" : "\n";
    std::string text = "+++start+++";
    text += end;
    for (const auto& field : fields) {
        text += oneLine(field.name);
        text += '=';
        text += oneLine(field.value);
        text += end;
    }
    text += "---end---";
    if (kind == RecordKind::VideoSpeed)
        text += "\r\n";
    return encode ? encode(text) : std::nullopt;
}

std::vector<RecordField> commonTrailingFields(const UserSession& session, const std::string& propertyUserId,
                                              const RecordTime& time, bool automatic)
{
    return {{"ip", session.ip},
            {"location", session.location()},
            {"userid", propertyUserId},
            {"dtime", formatStamp(time)},
            {"testtype", automatic ? "0" : "1"}};
}

std::string rejectionReasonText(int reasonCode, const RejectionThresholds& thresholds)
{
    switch (reasonCode) {
    case 1:
        return "CPU使用率 > " + std::to_string(thresholds.cpuPercent) + "%";
    case 2:
        return "内存使用率 > " + std::to_string(thresholds.memoryPercent) + "%";
    case 3:
        return "开启了杀毒软件";
    case 4:
        return "无线上网";
    case 5:
        return "网卡流量 > " + std::to_string(thresholds.downloadKBps) + "KB/s";
    case 6:
        return "多机上网";
    default:
        return {};
    }
}

std::string invalidRoundSummary(const std::string& reasonText, const RecordTime& time)
{
    return "最近一次自动测速结果：\n数据无效（原因：" + reasonText + "）。\n测速时间： " + formatStamp(time);
}

ResultRecorder::ResultRecorder(std::filesystem::path installDir, const ServiceClock& clock, ResultLog log,
                               RecordEncoder encode)
    : m_installDir(std::move(installDir)), m_clock(clock), m_log(std::move(log)), m_encode(std::move(encode))
{
}

std::string ResultRecorder::writeRecordFile(RecordKind kind, const RecordTime& time,
                                            const std::vector<RecordField>& fields)
{
    const std::filesystem::path dir = dataDir();
    const std::string base = recordFileName(kind, time);
    auto log = [this](const std::string& message) {
        if (m_log)
            m_log(message);
    };
    const auto bytes = recordBytes(kind, fields, m_encode);
    if (!bytes) {
        log("record not written: " + (dir / base).string() +
            " (the GBK code page converter is not available; the collector cannot read any other text)");
        return {};
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // Written whole under a temporary name of its own first: a crash leaves
    // no torn record for packing to send, and the next record of the same
    // kind and hour cannot overwrite a whole one that a crash left unnamed
    // (packing gives such a record its name).
    std::string pattern = (dir / ("." + base + ".XXXXXX" + kRecordTempSuffix)).string();
    const int fd = ::mkostemps(pattern.data(), static_cast<int>(std::strlen(kRecordTempSuffix)), O_CLOEXEC);
    if (fd < 0) {
        log("record not written: " + (dir / base).string() + " (" + std::strerror(errno) + ")");
        return {};
    }
    ::close(fd);
    const std::filesystem::path temp = pattern;
    if (!writeFileSynced(temp, *bytes)) {
        std::filesystem::remove(temp, ec);
        log("record not written: " + (dir / base).string());
        return {};
    }
    for (int n = 1; n < 100; ++n) {
        const std::string name = n == 1 ? base : base + "." + std::to_string(n);
        if (renameNoReplace(temp, dir / name)) {
            syncDirectory(dir);
            return name;
        }
        if (errno != EEXIST)
            break;
    }
    std::filesystem::remove(temp, ec);
    log("record not written: " + (dir / base).string());
    return {};
}

bool ResultRecorder::appendHistory(const UserSession& session, const std::string& line)
{
    std::error_code ec;
    std::filesystem::create_directories(m_installDir / "HistoryRecord", ec);
    return AppendHistoryLine(historyFilePath(m_installDir, session.userId), line);
}

WrittenRecord ResultRecorder::writeTestRecord(const TestRecord& record, const UserSession& session, bool automatic)
{
    WrittenRecord out;
    out.time = m_clock.now();

    PropertyFile login((m_installDir / "conf" / "l_c_config_01.properties").string());
    login.load();
    std::vector<RecordField> fields = record.fields;
    for (auto& field : commonTrailingFields(session, login.get("userid"), out.time, automatic))
        fields.push_back(std::move(field));
    fields.insert(fields.end(), record.tail.begin(), record.tail.end());
    out.fileName = writeRecordFile(record.kind, out.time, fields);

    const std::string line = formatStamp(out.time) + (automatic ? ",自动," : ",手动,") + testName(record.kind) + "," +
                             HistoryNameField(record.historyName) + "," + historyValue(record.kind, record.headline) +
                             ";";
    if (automatic)
        out.latestResultText = latestResultText(record, out.time);
    out.historyWritten = appendHistory(session, line);
    return out;
}

WrittenRecord ResultRecorder::writeErrorRecord(int reasonCode, const UserSession& session)
{
    WrittenRecord out;
    if (rejectionReasonText(reasonCode, {}).empty())
        return out;
    out.time = m_clock.now();
    out.fileName = writeRecordFile(
        RecordKind::Error, out.time,
        {{"error", std::to_string(reasonCode)}, {"userid", session.userId}, {"dtime", formatStamp(out.time)}});
    return out;
}

bool ResultRecorder::recordInvalidRound(int reasonCode, const RejectionThresholds& thresholds,
                                        const UserSession& session, RecordTime* timeOut)
{
    const std::string reason = rejectionReasonText(reasonCode, thresholds);
    if (reason.empty())
        return false;
    const RecordTime time = m_clock.now();
    if (timeOut)
        *timeOut = time;
    return appendHistory(session, formatStamp(time) + ",自动,自动测速,无效数据," + reason + ";");
}

} // namespace quorvane
