#include "app/pages/speed_test_dlg.h"

#include "app/pages/shell_dialogs.h"
#include "platform/idle_memory.h"
#include "ui/skin.h"

#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace quorvane
{

CSpeedTestDlg::CSpeedTestDlg(const ShellContext& context, LatestResult latestResult, QWidget* parent)
    : QWidget(parent), m_context(context), m_latestResult(std::move(latestResult))
{
}

std::filesystem::path CSpeedTestDlg::setUpRecording(std::filesystem::path installDir, HeadDateFunction head,
                                                    std::shared_ptr<Clock> clock, TransportFactory transport,
                                                    RecordShipper* lentShipper)
{
    if (installDir.empty() || installDir == ".")
        installDir = std::filesystem::current_path();
    m_installDir = installDir;
    m_recording = MakePageRecording(m_installDir, m_context.database, std::move(head), std::move(clock),
                                    std::move(transport), lentShipper);
    return m_installDir;
}

void CSpeedTestDlg::warn(const std::string& text)
{
    m_context.dialogs->warning(this, QString::fromStdString(text));
}

UserSession CSpeedTestDlg::currentUser() const
{
    return m_context.session ? m_context.session->get() : UserSession();
}

std::string CSpeedTestDlg::geographyId() const
{
    return m_context.database ? m_context.database->regionSuffix() : std::string();
}

void CSpeedTestDlg::adoptSessionUser()
{
    if (m_context.session)
        takeUser(m_context.session->get());
}

int CSpeedTestDlg::RunAutoTest(bool useStoredKey, bool isAutomatic)
{
    // The user logged in now, not the one the page was made or last painted
    // for: a silent login may have succeeded on the timer while the window
    // stayed in the tray.
    adoptSessionUser();
    return runAutomatic(useStoredKey, isAutomatic);
}

measure::RecordResult CSpeedTestDlg::writeRecord(const TestRecord& record, bool automatic)
{
    measure::RecordResult r = measure::WriteAndShipRecord(record, currentUser(), automatic, *m_recording.recorder,
                                                          m_recording.shipper, geographyId());
    recordRecorded(r);
    return r;
}

void CSpeedTestDlg::recordRecorded(const measure::RecordResult& r)
{
    // An automatic result that could not be saved still reaches the main
    // window, with the reason, as the recorder words it.
    if (!r.record.latestResultText.empty() && m_latestResult)
        m_latestResult(r.record.latestResultText);
    ShowRecordStatus(this, r.record);
    Q_EMIT recordHandled(r.written, QString::fromStdString(r.record.fileName));
    // The run's buffers are free now; between runs the program idles in the
    // tray, where the allocator would otherwise keep them.
    platform::releaseIdleMemory();
}

void CSpeedTestDlg::followUser()
{
    // The user may log in (or move) after the page was made; the page
    // follows once the change is seen, after this paint and never under a
    // run.
    if (!m_shownFor || m_refreshPosted || !m_context.session || runActive())
        return;
    if (userKey(m_context.session->get()) == *m_shownFor)
        return;
    m_refreshPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_refreshPosted = false;
            if (!runActive())
                OnInitDialog();
        },
        Qt::QueuedConnection);
}

QRect CSpeedTestDlg::resultBand() const
{
    return m_band ? QRect(m_band->margin, m_band->top, width() - 2 * m_band->margin, m_band->height) : QRect();
}

QLabel* CSpeedTestDlg::addCaption(const QString& text, const QRect& geometry)
{
    auto* l = new QLabel(text, this);
    l->setFont(ui::Skin::font(12));
    l->setStyleSheet(QStringLiteral("color: #333;"));
    l->setGeometry(geometry);
    return l;
}

QLabel* CSpeedTestDlg::addResultColumn(const char* caption, const char* name, int valuePixels, int column, int columns)
{
    const int top = m_band ? m_band->top : 0;
    const int width = (kTestPageWidth - 32) / columns;
    const int x = 16 + column * width;
    auto* c = addCaption(QString::fromUtf8(caption), QRect(x, top + 6, width, 20));
    c->setStyleSheet(QStringLiteral("color: #666;"));
    c->setAlignment(Qt::AlignCenter);
    auto* v = new QLabel(this);
    v->setObjectName(QLatin1String(name));
    v->setFont(ui::Skin::font(valuePixels, true));
    v->setStyleSheet(QStringLiteral("color: #1e6fc8;"));
    v->setAlignment(Qt::AlignCenter);
    v->setGeometry(x, top + 28, width, 30);
    return v;
}

void CSpeedTestDlg::paintEvent(QPaintEvent*)
{
    followUser();
    if (!m_band)
        return;
    QPainter p(this);
    p.fillRect(rect(), ui::palette::kBody);
    p.setPen(ui::palette::kBorder);
    p.setBrush(Qt::white);
    p.drawRoundedRect(resultBand(), 6, 6);
}

void CheckConnection(QObject* owner, const ConnectionCheck& injected, const std::string& url, const QUrl& target,
                     std::function<void(bool)> done)
{
    QPointer<QObject> guard(owner);
    auto answer = [guard, done = std::move(done)](bool reachable) {
        if (guard)
            done(reachable);
    };
    if (injected) {
        injected(url, answer);
        return;
    }
    if (!target.isValid() || target.host().isEmpty()) {
        answer(false);
        return;
    }
    const QString scheme = target.scheme();
    const int port = target.port(scheme == QLatin1String("https") ? 443 : scheme == QLatin1String("ftp") ? 21 : 80);
    auto* socket = new QTcpSocket(owner);
    auto* timer = new QTimer(socket);
    auto once = std::make_shared<std::function<void(bool)>>(answer);
    auto finish = [socket, once](bool reachable) {
        if (!*once)
            return;
        auto d = std::move(*once);
        *once = nullptr;
        socket->abort();
        socket->deleteLater();
        d(reachable);
    };
    QObject::connect(socket, &QTcpSocket::connected, socket, [finish] { finish(true); });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [finish] { finish(false); });
    QObject::connect(timer, &QTimer::timeout, socket, [finish] { finish(false); });
    timer->setSingleShot(true);
    timer->start(3000);
    socket->connectToHost(target.host(), static_cast<quint16>(port));
}

} // namespace quorvane
