#pragma once

// What the engines do once a run's record is ready: write it (with its
// history line and, in automatic mode, the latest result text), then hand
// the file to the shipper. Kept in one place so every engine packs and
// ships the same way.

#include "results/record.h"
#include "results/session.h"

#include <string>

namespace quorvane
{
class RecordShipper;
} // namespace quorvane

namespace quorvane::measure
{

struct RecordResult {
    bool written = false; // false: no recordable run, or it was recorded already
    WrittenRecord record; // file name, time, history, latest result text (automatic mode)
    std::string archive;  // the archive holding the record; empty when not packed
};

// `automatic`: how the run was started (testtype, the history line's mode,
// the latest result text), never the program-wide flag at writing time.
// `shipper` may be null: the record is written but not packed.
RecordResult WriteAndShipRecord(const TestRecord& record, const UserSession& who, bool automatic,
                                ResultRecorder& recorder, RecordShipper* shipper, const std::string& geographyId);

} // namespace quorvane::measure
