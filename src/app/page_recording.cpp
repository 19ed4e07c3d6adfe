#include "app/page_recording.h"

#include "results/result_log.h"
#include "results/session.h"
#include "results/sftp.h"

namespace quorvane
{

PageRecording MakePageRecording(const std::filesystem::path& installDir, CDataBase* database, HeadDateFunction head,
                                std::shared_ptr<Clock> clock, TransportFactory transport, RecordShipper* lentShipper)
{
    PageRecording out;
    const ResultLog log = fileResultLog(installDir / "logfile.txt");
    if (!head)
        head = HeadDateFunction(&headDate);
    const std::filesystem::path dir = installDir;
    out.clock = std::make_unique<ServiceClock>(
        [dir, database] { return serviceClockUrl(dir, database ? database->regionSuffix() : std::string()); },
        std::move(head), clock ? std::move(clock) : systemClock());
    out.recorder = std::make_unique<ResultRecorder>(installDir, *out.clock, log);
    out.shipper = lentShipper;
    if (!out.shipper) {
        if (!transport)
            transport = sftpTransportFactory(installationSftpOptions(installDir, log));
        out.ownShipper = std::make_unique<RecordShipper>(installDir, *out.clock, RecordShipper::configuredTargets(),
                                                         std::move(transport), log);
        out.shipper = out.ownShipper.get();
    }
    return out;
}

} // namespace quorvane
