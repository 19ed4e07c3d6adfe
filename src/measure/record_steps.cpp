#include "measure/record_steps.h"

#include "results/shipper.h"

namespace quorvane::measure
{

RecordResult WriteAndShipRecord(const TestRecord& record, const UserSession& who, bool automatic,
                                ResultRecorder& recorder, RecordShipper* shipper, const std::string& geographyId)
{
    RecordResult out;
    out.record = recorder.writeTestRecord(record, who, automatic);
    out.written = !out.record.fileName.empty();
    if (shipper)
        out.archive = shipper->shipRecord(out.record.fileName, geographyId);
    return out;
}

} // namespace quorvane::measure
