#include "measure/record_steps.h"

#include "common/flags.h"
#include "results/shipper.h"

namespace quorvane::measure
{

RecordResult WriteAndShipRecord(const TestRecord& record, const UserSession& who, ResultRecorder& recorder,
                                RecordShipper* shipper, const std::string& geographyId)
{
    RecordResult out;
    out.record = recorder.writeTestRecord(record, who, flags::autoMode.load() == 1);
    out.written = !out.record.fileName.empty();
    if (shipper)
        out.archive = shipper->shipRecord(out.record.fileName, geographyId);
    return out;
}

} // namespace quorvane::measure
