#pragma once
// What a measuring page needs to write and ship its records: the service
// clock (the time stamps), the recorder and the shipper. Every page sets
// them up the same way from its installation folder.
#include "common/clock.h"
#include "results/record.h"
#include "results/service_time.h"
#include "results/shipper.h"
#include "results/upload.h"

#include <filesystem>
#include <memory>

class QWidget;

namespace quorvane
{

class CDataBase;

// Members in the order they must end: the shipper first, the clock last.
struct PageRecording {
    std::unique_ptr<ServiceClock> clock;
    std::unique_ptr<ResultRecorder> recorder;
    std::unique_ptr<RecordShipper> ownShipper; // null when a shipper was lent
    RecordShipper* shipper = nullptr;          // the one to use: lent or own
};

// Empty `head`, null `clock` and empty `transport` take the real ones (HEAD
// requests, the system clock, SFTP with the installation's options). A lent
// shipper is used instead of a new one and stays the lender's.
PageRecording MakePageRecording(const std::filesystem::path& installDir, CDataBase* database, HeadDateFunction head,
                                std::shared_ptr<Clock> clock, TransportFactory transport,
                                RecordShipper* lentShipper = nullptr);

// The page's status line about its latest record: shown, with the reason,
// when the result could not be saved; hidden once a record goes in again.
void ShowRecordStatus(QWidget* page, const WrittenRecord& record);

} // namespace quorvane
