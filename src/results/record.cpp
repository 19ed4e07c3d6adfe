#include "results/record.h"

#include "common/codepage.h"
#include "common/log_file.h"
#include "common/property_file.h"
#include "common/text.h"
#include "results/durable_file.h"
#include "results/figures.h"
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

// The record files are named with the words of the figure files; the error
// record is the one kind without figures of its own.
const char* kindWord(RecordKind kind)
{
    return kind == RecordKind::Error ? "error" : figureKindName(kind);
}

bool usesCrLf(RecordKind kind)
{
    return kind == RecordKind::VideoSpeed || kind == RecordKind::Error;
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

std::vector<RecordField> errorFields(int reasonCode, const UserSession& session, const RecordTime& time)
{
    return {{"error", std::to_string(reasonCode)}, {"userid", session.userId}, {"dtime", formatStamp(time)}};
}

} // namespace

std::string notSavedText(const WrittenRecord& record)
{
    if (record.failure.empty())
        return {};
    return record.held ? "结果未能保存（" + record.failure + "），已暂存，磁盘可写后自动补存"
                       : "结果未能保存（" + record.failure + "）";
}

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
    : ResultRecorder(std::move(installDir), clock, std::move(log), std::move(encode), nullptr)
{
}

ResultRecorder::ResultRecorder(std::filesystem::path installDir, const ServiceClock& clock, ResultLog log,
                               RecordEncoder encode, std::shared_ptr<RecordHold> hold)
    : m_installDir(std::move(installDir)), m_clock(clock), m_log(std::move(log)), m_encode(std::move(encode)),
      m_hold(std::move(hold))
{
    if (!m_hold)
        m_hold = std::make_shared<RecordHold>(dataDir(), m_log);
}

void ResultRecorder::store(RecordKind kind, const std::vector<RecordField>& fields, const UserSession& session,
                           const std::string& historyLine, bool automatic, WrittenRecord& out)
{
    const std::string base = recordFileName(kind, out.time);
    auto report = [&](const std::string& message) {
        if (m_log)
            m_log(message);
        // Nobody watches an automatic round but its log.
        if (automatic)
            CLogFile::append((m_installDir / "auto.txt").string(), message);
    };
    const auto bytes = recordBytes(kind, fields, m_encode);
    if (!bytes) {
        out.failure = "the GBK code page converter is not available";
        report("record not written: " + (dataDir() / base).string() + " (" + out.failure +
               "; the collector cannot read any other text)");
        return;
    }
    out.fileName = writeRecordBytes(dataDir(), base, *bytes, out.failure);
    const std::filesystem::path history =
        historyLine.empty() ? std::filesystem::path() : historyFilePath(m_installDir, session.userId);
    if (out.fileName.empty()) {
        m_hold->hold({base, *bytes, false, history, historyLine});
        out.held = true;
        report("record not written, held to be written at the next chance: " + (dataDir() / base).string() + " (" +
               out.failure + ")");
        return;
    }
    if (historyLine.empty())
        return;
    out.historyWritten = appendHistory(session, historyLine);
    if (!out.historyWritten) {
        const std::string why = std::strerror(errno);
        m_hold->hold({out.fileName, {}, true, history, historyLine});
        report("history line not written, held: " + out.fileName + " (" + why + ")");
    }
}

bool ResultRecorder::appendHistory(const UserSession& session, const std::string& line)
{
    std::error_code ec;
    std::filesystem::create_directories(m_installDir / "HistoryRecord", ec);
    return AppendHistoryLine(historyFilePath(m_installDir, session.userId), line);
}

WrittenRecord ResultRecorder::writeTestRecord(const TestRecord& record, const UserSession& session, bool automatic)
{
    // The held results first: they were measured earlier.
    m_hold->flush();
    WrittenRecord out;
    out.time = m_clock.now();

    PropertyFile login((m_installDir / "conf" / "l_c_config_01.properties").string());
    login.load();
    std::vector<RecordField> fields = record.fields;
    for (auto& field : commonTrailingFields(session, login.get("userid"), out.time, automatic))
        fields.push_back(std::move(field));
    fields.insert(fields.end(), record.tail.begin(), record.tail.end());

    const std::string line = formatStamp(out.time) + (automatic ? ",自动," : ",手动,") + testName(record.kind) + "," +
                             HistoryNameField(record.historyName) + "," + historyValue(record.kind, record.headline) +
                             ";";
    store(record.kind, fields, session, line, automatic, out);
    // A held record still goes in later: its figures are the line's latest.
    if (!out.fileName.empty() || out.held)
        saveLatestFigures(m_installDir, record, out.time, automatic);
    if (automatic) {
        out.latestResultText = latestResultText(record, out.time);
        if (!out.failure.empty())
            out.latestResultText += "\n" + notSavedText(out);
    }
    return out;
}

WrittenRecord ResultRecorder::writeErrorRecord(int reasonCode, const UserSession& session)
{
    WrittenRecord out;
    if (rejectionReasonText(reasonCode, {}).empty())
        return out;
    m_hold->flush();
    out.time = m_clock.now();
    store(RecordKind::Error, errorFields(reasonCode, session, out.time), session, {}, true, out);
    return out;
}

WrittenRecord ResultRecorder::writeRejectedRound(int reasonCode, const RejectionThresholds& thresholds,
                                                 const UserSession& session)
{
    WrittenRecord out;
    const std::string reason = rejectionReasonText(reasonCode, thresholds);
    if (reason.empty())
        return out;
    m_hold->flush();
    out.time = m_clock.now();
    store(RecordKind::Error, errorFields(reasonCode, session, out.time), session,
          formatStamp(out.time) + ",自动,自动测速,无效数据," + reason + ";", true, out);
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
