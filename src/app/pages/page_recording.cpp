#include "app/pages/page_recording.h"

#include "results/result_log.h"
#include "results/session.h"
#include "results/sftp.h"

#include <QLabel>
#include <QWidget>

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
    out.shipper = lentShipper;
    if (!out.shipper) {
        if (!transport)
            transport = sftpTransportFactory(installationSftpOptions(installDir, log));
        out.ownShipper = std::make_unique<RecordShipper>(installDir, *out.clock, RecordShipper::configuredTargets(),
                                                         std::move(transport), log);
        out.shipper = out.ownShipper.get();
    }
    // One hold per shipper: whatever page measured a held result, the next
    // packing of the folder writes it.
    out.recorder =
        std::make_unique<ResultRecorder>(installDir, *out.clock, log, gbkRecordEncoder(), out.shipper->hold());
    return out;
}

void ShowRecordStatus(QWidget* page, const WrittenRecord& record)
{
    auto* label = page->findChild<QLabel*>(QStringLiteral("recordStatus"), Qt::FindDirectChildrenOnly);
    const std::string text = notSavedText(record);
    if (text.empty()) {
        if (label)
            label->hide();
        return;
    }
    if (!label) {
        label = new QLabel(page);
        label->setObjectName(QStringLiteral("recordStatus"));
        label->setStyleSheet(QStringLiteral("color: #c00000; background: #fff4f4;"));
        label->setWordWrap(true);
    }
    label->setGeometry(12, page->height() - 30, page->width() - 24, 26);
    label->setText(QString::fromStdString(text));
    label->show();
    label->raise();
}

} // namespace quorvane
