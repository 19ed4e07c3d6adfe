#pragma once
// Result records: the files the collection servers parse. One record per
// file, GBK on disk, in the envelope
//   "+++start+++" <end> { name "=" value <end> } "---end---" [CR LF]
// with the line end <end> and the ending of its kind.
#include "results/result_log.h"
#include "results/service_time.h"
#include "results/session.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane
{

enum class RecordKind { Band, FileDown, Screen, VideoSpeed, Error };

struct RecordField {
    std::string name;
    std::string value; // UTF-8; converted to GBK when written
};

// "Pccollect_<kind>_%04d%02d%02d%02d.dat" from the record time's year,
// month, day and hour.
std::string recordFileName(RecordKind kind, const RecordTime& time);

// Turns a record's UTF-8 text into the GBK bytes on disk; nothing when the
// converter is not available.
using RecordEncoder = std::function<std::optional<std::string>(std::string_view utf8)>;

// The encoder of the installation: the code page module's converter.
RecordEncoder gbkRecordEncoder();

// A record is first written as "." + its file name + "." + six random
// characters + this suffix, then renamed to its file name.
inline constexpr const char* kRecordTempSuffix = ".writing";

// The record file name of such a temporary name (also of the older form
// "." + name + ".tmp"); empty for any other name.
std::string recordNameOfTemp(const std::string& tempName);

// The complete record as it goes on disk (GBK bytes); nothing when
// `encode` cannot convert. Line breaks inside a value would forge fields or
// end the record early; they become blanks.
std::optional<std::string> recordBytes(RecordKind kind, const std::vector<RecordField>& fields,
                                       const RecordEncoder& encode = gbkRecordEncoder());

// The block every test record carries after its own fields: ip, location,
// userid (from the login data file, `propertyUserId`), dtime, testtype
// ("0" for an automatic result, "1" for a manual one).
std::vector<RecordField> commonTrailingFields(const UserSession& session, const std::string& propertyUserId,
                                              const RecordTime& time, bool automatic);

// The limits the environment checks compared against, for the reason texts.
struct RejectionThresholds {
    int cpuPercent = 100;
    int memoryPercent = 100;
    int downloadKBps = 0; // the download limit of the adapter traffic check
};

// The reason text of a rejected automatic round (codes 1 to 6); empty for
// any other code.
std::string rejectionReasonText(int reasonCode, const RejectionThresholds& thresholds);

// The latest result text of a rejected round.
std::string invalidRoundSummary(const std::string& reasonText, const RecordTime& time);

// A finished measurement, as a test page hands it over.
struct TestRecord {
    RecordKind kind = RecordKind::Band; // Band, FileDown, Screen or VideoSpeed
    std::vector<RecordField> fields;    // the kind's own fields, before the common block
    std::vector<RecordField> tail;      // after testtype: band's pingrtt, downspeedjt, upspeedjt; video's MAXSPEED
    std::string historyName;            // what was measured: server name, file label, page address, site label
    std::string headline;               // the headline number as text, without unit ("94.3", "512.00", "1.234")
    std::string summaryName; // the name in the latest result text when it differs (the video's stream address)
};

struct WrittenRecord {
    std::string fileName;         // without directory; empty when no record file could be written
    RecordTime time;              // the record time
    bool historyWritten = false;  // the history line went in
    std::string latestResultText; // set for automatic results
};

// Writes records into <installDir>/Data and history lines into
// <installDir>/HistoryRecord.
//
// Thread-safety: one recorder per thread; the window thread owns it.
class ResultRecorder
{
public:
    ResultRecorder(std::filesystem::path installDir, const ServiceClock& clock, ResultLog log,
                   RecordEncoder encode = gbkRecordEncoder());

    // The record writer of the test pages: takes the record time, writes the
    // record file, appends the history line and, for an automatic result,
    // builds the latest result text. A record file that cannot be written is
    // logged and skipped; the history line is still appended. So is a record
    // whose text cannot be converted to GBK: the collector would misread
    // any other bytes.
    //
    // A record whose file name is still taken by a record that earlier
    // packing could not archive is written beside it as "<name>.<n>", so
    // neither is lost; packing gives both their proper name in the archive.
    WrittenRecord writeTestRecord(const TestRecord& record, const UserSession& session, bool automatic);

    // The error record of a rejected automatic round. Nothing is written for
    // an unknown code (fileName empty).
    WrittenRecord writeErrorRecord(int reasonCode, const UserSession& session);

    // The history half of RecordInvalidRound: appends the invalid-data line
    // for the code. False for an unknown code (nothing written) or when the
    // history file could not be written. `timeOut` receives the record time.
    bool recordInvalidRound(int reasonCode, const RejectionThresholds& thresholds, const UserSession& session,
                            RecordTime* timeOut = nullptr);

    std::filesystem::path dataDir() const { return m_installDir / "Data"; }

private:
    std::string writeRecordFile(RecordKind kind, const RecordTime& time, const std::vector<RecordField>& fields);
    bool appendHistory(const UserSession& session, const std::string& line);

    std::filesystem::path m_installDir;
    const ServiceClock& m_clock;
    ResultLog m_log;
    RecordEncoder m_encode;
};

} // namespace quorvane
