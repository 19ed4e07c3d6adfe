#pragma once
// Result records: the files the collection servers parse. One record per
// file, GBK on disk, in the envelope
//   "+++start+++" <end> { name "=" value <end> } "---end---" [CR LF]
// with the line end <end> and the ending of its kind.
#include "results/record_hold.h"
#include "results/result_log.h"
#include "results/service_time.h"
#include "results/session.h"

#include <filesystem>
#include <functional>
#include <memory>
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
    std::vector<RecordField> figures{}; // measured beside the record but not part of it; kept for the metrics only
};

struct WrittenRecord {
    std::string fileName;         // without directory; empty when no record file could be written
    RecordTime time;              // the record time
    bool historyWritten = false;  // the history line went in
    std::string latestResultText; // set for automatic results
    std::string failure;          // why the record could not be written; empty when it was
    bool held = false;            // not written yet: kept to be written at the next chance
};

// The line the latest result text gains when the result was not saved.
std::string notSavedText(const WrittenRecord& record);

// Writes records into <installDir>/Data and history lines into
// <installDir>/HistoryRecord.
//
// Thread-safety: one recorder per thread; the window thread owns it.
class ResultRecorder
{
public:
    ResultRecorder(std::filesystem::path installDir, const ServiceClock& clock, ResultLog log,
                   RecordEncoder encode = gbkRecordEncoder());

    // `hold` keeps the results that cannot be written for now; recorders
    // and shippers of one installation share one. Null: a hold of its own.
    ResultRecorder(std::filesystem::path installDir, const ServiceClock& clock, ResultLog log, RecordEncoder encode,
                   std::shared_ptr<RecordHold> hold);

    // The record writer of the test pages: first writes what an earlier
    // result left held, then takes the record time, writes the record file,
    // appends the history line and, for an automatic result, builds the
    // latest result text. The history line goes in only with its record:
    // a record that cannot be written (a full disk, a folder that cannot be
    // written) is held with its line (see RecordHold), `failure` says why,
    // the latest result text says it was not saved, and the failure goes to
    // logfile.txt (and auto.txt for an automatic result). A record whose
    // text cannot be converted to GBK is not written at all: the collector
    // would misread any other bytes.
    //
    // A record whose file name is still taken by a record that earlier
    // packing could not archive is written beside it as "<name>.<n>", so
    // neither is lost; packing gives both their proper name in the archive.
    WrittenRecord writeTestRecord(const TestRecord& record, const UserSession& session, bool automatic);

    // The error record of a rejected automatic round. Nothing is written for
    // an unknown code (fileName empty).
    WrittenRecord writeErrorRecord(int reasonCode, const UserSession& session);

    // RecordInvalidRound's two halves together: the error record and its
    // invalid-data history line, which goes in only with the record (held
    // with it when the record must wait).
    WrittenRecord writeRejectedRound(int reasonCode, const RejectionThresholds& thresholds, const UserSession& session);

    // Writes what waits in the hold (see RecordHold::flush).
    RecordHold::Flushed writeHeld() { return m_hold->flush(); }
    RecordHold& hold() { return *m_hold; }

    // The history half of RecordInvalidRound: appends the invalid-data line
    // for the code. False for an unknown code (nothing written) or when the
    // history file could not be written. `timeOut` receives the record time.
    bool recordInvalidRound(int reasonCode, const RejectionThresholds& thresholds, const UserSession& session,
                            RecordTime* timeOut = nullptr);

    std::filesystem::path dataDir() const { return m_installDir / "Data"; }

private:
    // Writes the record, then (only when it went in) the history line; holds
    // what could not be written.
    void store(RecordKind kind, const std::vector<RecordField>& fields, const UserSession& session,
               const std::string& historyLine, bool automatic, WrittenRecord& out);
    bool appendHistory(const UserSession& session, const std::string& line);

    std::filesystem::path m_installDir;
    const ServiceClock& m_clock;
    ResultLog m_log;
    RecordEncoder m_encode;
    std::shared_ptr<RecordHold> m_hold;
};

} // namespace quorvane
