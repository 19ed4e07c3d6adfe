#pragma once
// The figures the metrics read: the latest result of each test kind and a
// few counters, kept under <installDir>/Metrics as UTF-8 "name=value" lines.
// Records leave the machine once uploaded and the history keeps only the
// headline number; these files keep what a monitoring system asks for,
// the same text the record carried, so a scraped figure equals the record.
//
// Thread-safety: every function may be called from any thread; the writes
// of one process are serialised. Two programs writing the counters at the
// same moment may lose one increment, never the file (each save replaces
// the whole file durably).
#include "results/record.h"
#include "results/service_time.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvane
{

// <installDir>/Metrics.
std::filesystem::path figuresDir(const std::filesystem::path& installDir);

// "band", "filedown", "screen", "videospeed"; empty for the error kind.
const char* figureKindName(RecordKind kind);

// Replaces the latest result of the record's kind with the record's own
// fields, its tail and its extra figures, after "time" (seconds since 1970 of
// `time` read as local time), "name" (what was measured) and "automatic"
// ("1" or "0"). False when the file could not be written.
bool saveLatestFigures(const std::filesystem::path& installDir, const TestRecord& record, const RecordTime& time,
                       bool automatic);

// Counter names in the counters file.
inline constexpr const char* kRoundsCounter = "auto_rounds";
// + the reason code: "rejected_1" ... "rejected_6".
inline constexpr const char* kRejectedCounterPrefix = "rejected_";
// Not a counter: the seconds since 1970 of the last archive a collection
// server confirmed.
inline constexpr const char* kLastUploadField = "upload_last_success";

// Adds `by` to a counter (created at 0). False when the file could not be
// written.
bool addToCounter(const std::filesystem::path& installDir, const std::string& name, double by = 1);
// Sets a value of the counters file. False when the file could not be written.
bool setCounterValue(const std::filesystem::path& installDir, const std::string& name, double value);

// A figures file read back: the "name=value" pairs in file order, and how
// many lines were not of that shape (no "=", an empty name).
struct FigureLines {
    std::vector<std::pair<std::string, std::string>> values;
    int skipped = 0;
    bool present = false; // the file was there and could be read

    // The value of `name`; nothing when absent.
    std::optional<std::string> get(const std::string& name) const;
};
FigureLines readFigureLines(const std::filesystem::path& file);

// The files themselves: "latest-<kind>.txt" and "counters.txt".
std::filesystem::path latestFiguresFile(const std::filesystem::path& installDir, RecordKind kind);
std::filesystem::path countersFile(const std::filesystem::path& installDir);

} // namespace quorvane
