#include "app/pages/video_speed.h"

#include "app/pages/page_thread.h"
#include "app/pages/shell_dialogs.h"
#include "common/flags.h"
#include "measure/address_pattern.h"
#include "measure/bandwidth_figures.h"
#include "measure/video_resolvers.h"
#include "ui/skin.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMediaFormat>
#include <QMediaPlayer>
#include <QPainter>
#include <QPointer>
#include <QUrl>
#include <QVideoWidget>

namespace quorvane
{

namespace text = measure::video_text;

namespace
{

constexpr int kScreenTop = 12;
constexpr int kScreenHeight = 288;
constexpr int kValuesTop = 346;

// Captions of the six values, in the player's payload order, with units.
const char* const kValueCaptions[] = {"最大速率(KB/s)", "首字节时间(ms)", "视频大小(字节)",
                                      "平均速率(KB/s)", "已加载(字节)",   "总时间(ms)"};
const char* const kValueNames[] = {"maxSpeed", "loadingTime", "totalSize", "speed", "loadSize", "totalTime"};

const char* const kNoDisplay = "当前没有显示设备：只测速，不播放画面。";
const char* const kNoDecoder = "缺少视频解码器：只测速，不播放画面。";
const char* const kTooLong = "视频流太大，不在本机保存播放：测速结果不受影响。";
constexpr qsizetype kMaxPlaybackBytes = 64 * 1024 * 1024;

bool defaultPlaybackAvailable()
{
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return false;
    // The desktop's default media backend often comes without the common
    // decoders; the FFmpeg one brings its own. Chosen once, before the
    // first use of Qt Multimedia, and only when the user named none.
    if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    QMediaFormat format;
    return format.supportedFileFormats(QMediaFormat::Decode).contains(QMediaFormat::MPEG4) &&
           format.supportedVideoCodecs(QMediaFormat::Decode).contains(QMediaFormat::VideoCodec::H264);
}

QLabel* makeLabel(QWidget* parent, const QString& text, const QRect& geometry, int pixels = 12, bool bold = false)
{
    auto* l = new QLabel(text, parent);
    l->setFont(ui::Skin::font(pixels, bold));
    l->setGeometry(geometry);
    return l;
}

} // namespace

ui::Workers& VideoWorkers(const ShellContext& context, std::unique_ptr<ui::Workers>& own)
{
    if (context.workers)
        return *context.workers;
    if (!own)
        own = std::make_unique<ui::Workers>();
    return *own;
}

void CheckVideoConnection(const ShellContext& context, QObject* owner, const std::string& url,
                          std::function<void(bool)> done)
{
    CheckConnection(owner, context.video.checkConnection, url, QUrl(fromUtf8(url)), std::move(done));
}

// ---------------------------------------------------------------- CVideoSpeedChild

CVideoSpeedChild::CVideoSpeedChild(const ShellContext& context, LatestResult latestResult, RecordShipper* shipper,
                                   QWidget* parent)
    : CSpeedTestDlg(context, std::move(latestResult), parent)
{
    setObjectName(QStringLiteral("CVideoSpeedChild"));
    const VideoServices& services = m_context.video;
    measure::VideoTestSettings engine = services.engine;
    engine.installDir =
        setUpRecording(engine.installDir, services.head, services.player.clock, services.transport, shipper);
    m_playback = services.playbackAvailable ? services.playbackAvailable() : defaultPlaybackAvailable();

    buildControls();

    measure::StreamPlayer::Display display;
    display.started = [this](const std::string& url) {
        {
            std::lock_guard lock(m_bytesMutex);
            m_bytes.clear();
            m_bytesDropped = false;
        }
        PostToPage(this, [url](CVideoSpeedChild* p) { p->onRunStarted(fromUtf8(url)); });
    };
    display.data = [this](const char* data, std::size_t n) {
        if (!m_playback || !m_shown.load())
            return;
        std::lock_guard lock(m_bytesMutex);
        // A long stream is measured to its end but not kept for showing.
        if (m_bytes.size() + static_cast<qsizetype>(n) <= kMaxPlaybackBytes)
            m_bytes.append(data, static_cast<qsizetype>(n));
        else
            m_bytesDropped = true;
    };
    display.ended = [this](const measure::StreamFigures& f) {
        PostToPage(this, [f](CVideoSpeedChild* p) { p->onRunEnded(f); });
    };
    m_player = std::make_unique<measure::StreamPlayer>(
        services.player,
        [this](const std::string& request) {
            PostToPage(this, [request](CVideoSpeedChild* p) { p->OnFlashCall(request); });
        },
        std::move(display));
    engine.callPlayer = [this](const std::string& request) { m_player->CallFunction(request); };
    engine.waitPlayer = [this] { m_player->waitIdle(); };
    m_engine = std::make_unique<measure::VideoSpeedTest>(std::move(engine));

    m_tick.setInterval(250);
    connect(&m_tick, &QTimer::timeout, this, &CVideoSpeedChild::onTick);
}

CVideoSpeedChild::~CVideoSpeedChild()
{
    // A run still going reports to this page until it ends: end it first.
    m_player.reset();
}

void CVideoSpeedChild::buildControls()
{
    auto* frame = new QWidget(this);
    frame->setGeometry(16, kScreenTop, kTestPageWidth - 32, kScreenHeight);
    frame->setStyleSheet(QStringLiteral("background: #101418; border-radius: 4px;"));
    m_screen = makeLabel(frame, QString(), QRect(0, 0, frame->width(), frame->height()), 14);
    m_screen->setObjectName(QStringLiteral("screen"));
    m_screen->setAlignment(Qt::AlignCenter);
    m_screen->setStyleSheet(QStringLiteral("color: #cfd8e3; background: transparent;"));
    if (m_playback) {
        m_video = new QVideoWidget(frame);
        m_video->setGeometry(0, 0, frame->width(), frame->height());
        m_video->hide();
        m_media = new QMediaPlayer(this);
        m_media->setVideoOutput(m_video);
        connect(m_media, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error, const QString& why) {
            m_video->hide();
            setNote(QStringLiteral("无法播放该视频（%1）：测速结果不受影响。").arg(why));
        });
    }

    m_status = makeLabel(this, QStringLiteral("等待播放"), QRect(16, kScreenTop + kScreenHeight + 8, 380, 22), 12);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setStyleSheet(QStringLiteral("color: #333;"));

    const int column = (kTestPageWidth - 32) / 3;
    for (int i = 0; i < 6; ++i) {
        const int x = 16 + (i % 3) * column;
        const int y = kValuesTop + (i / 3) * 56;
        auto* c = makeLabel(this, QString::fromUtf8(kValueCaptions[i]), QRect(x, y, column, 20), 11);
        c->setAlignment(Qt::AlignCenter);
        c->setStyleSheet(QStringLiteral("color: #666;"));
        auto* v = makeLabel(this, QStringLiteral("--"), QRect(x, y + 20, column, 28), 16, true);
        v->setObjectName(QLatin1String(kValueNames[i]));
        v->setAlignment(Qt::AlignCenter);
        v->setStyleSheet(QStringLiteral("color: #1e6fc8;"));
        m_values[static_cast<std::size_t>(i)] = v;
    }

    m_note = makeLabel(this, QString(), QRect(16, kValuesTop + 118, kTestPageWidth - 32, 20), 11);
    m_note->setObjectName(QStringLiteral("playbackNote"));
    m_note->setStyleSheet(QStringLiteral("color: #b05a00;"));
    if (!m_playback)
        setNote(QString::fromUtf8(QGuiApplication::platformName() == QLatin1String("offscreen") ||
                                          QGuiApplication::platformName() == QLatin1String("minimal")
                                      ? kNoDisplay
                                      : kNoDecoder));

    m_close = new ui::SkinButton(QStringLiteral("video/close"), QStringLiteral("关闭播放器"),
                                 ui::SkinButton::Style::Plain, this);
    m_close->setObjectName(QStringLiteral("close"));
    m_close->setGeometry(kTestPageWidth - 16 - 110, kScreenTop + kScreenHeight + 6, 110, 28);
    // The movie's own close: the player says it quit, the page follows.
    connect(m_close, &QAbstractButton::clicked, this, [this] { m_player->Quit(); });
}

void CVideoSpeedChild::setNote(const QString& text)
{
    m_note->setText(text);
}

void CVideoSpeedChild::PlayManual(const std::string& streamAddress)
{
    adoptSessionUser();
    m_engine->PlayManual(streamAddress);
}

int CVideoSpeedChild::BeginResolving(const std::string& pageAddress)
{
    for (QLabel* v : m_values)
        v->setText(QStringLiteral("--"));
    m_screen->setText(QStringLiteral("正在解析视频页面…\n%1").arg(fromUtf8(pageAddress).left(70)));
    m_status->setText(QStringLiteral("正在解析"));
    return ++m_resolveTicket;
}

bool CVideoSpeedChild::PlayResolved(int ticket, const std::string& streamAddress)
{
    if (ticket != m_resolveTicket)
        return false;
    PlayManual(streamAddress);
    return true;
}

int CVideoSpeedChild::runAutomatic(bool useStoredKey, bool isAutomatic)
{
    return m_engine->RunAutoTest(useStoredKey, isAutomatic);
}

void CVideoSpeedChild::ClosePlayer()
{
    ++m_resolveTicket; // a resolution still going plays nothing
    m_engine->Stop();
    m_tick.stop();
    if (m_media)
        m_media->stop();
    hide();
}

qsizetype CVideoSpeedChild::heldBytes()
{
    std::lock_guard lock(m_bytesMutex);
    return m_bytes.size() + (m_mediaBuffer ? m_mediaBuffer->size() : 0);
}

void CVideoSpeedChild::showEvent(QShowEvent* event)
{
    m_shown = true;
    QWidget::showEvent(event);
}

void CVideoSpeedChild::hideEvent(QHideEvent* event)
{
    // Nothing shown, nothing held: the clip and what the player made of it
    // go (a run under way keeps measuring).
    m_shown = false;
    {
        std::lock_guard lock(m_bytesMutex);
        m_bytes = QByteArray();
    }
    if (m_media) {
        m_media->stop();
        m_media->setSourceDevice(nullptr);
        m_video->hide();
    }
    delete m_mediaBuffer;
    m_mediaBuffer = nullptr;
    QWidget::hideEvent(event);
}

void CVideoSpeedChild::onRunStarted(const QString& url)
{
    for (QLabel* v : m_values)
        v->setText(QStringLiteral("--"));
    if (m_media) {
        m_media->stop();
        m_video->hide();
    }
    m_screen->setText(QStringLiteral("正在加载视频流…\n%1").arg(url.left(70)));
    m_status->setText(QStringLiteral("已加载 0 KB"));
    m_tick.start();
}

void CVideoSpeedChild::onTick()
{
    m_status->setText(QStringLiteral("已加载 %1 KB")
                          .arg(fromUtf8(measure::FormatFixed(static_cast<double>(m_player->liveBytes()) / 1024, 1))));
}

void CVideoSpeedChild::onRunEnded(const measure::StreamFigures& f)
{
    m_tick.stop();
    const QString how = f.end == measure::StreamEnd::Completed ? QStringLiteral("加载完成")
                        : f.end == measure::StreamEnd::Stopped ? QStringLiteral("已停止")
                        : f.end == measure::StreamEnd::HttpError
                            ? QStringLiteral("服务器拒绝（HTTP %1）").arg(f.httpStatus)
                            : QStringLiteral("加载中断（%1）").arg(QLatin1String(measure::StreamEndName(f.end)));
    m_status->setText(how);
    m_screen->setText(f.loadedBytes > 0 ? QStringLiteral("视频流已下载") : QStringLiteral("没有收到视频数据"));
    if (f.end != measure::StreamEnd::Stopped && f.loadedBytes > 0)
        startPlayback();
}

void CVideoSpeedChild::startPlayback()
{
    if (!m_media)
        return;
    QByteArray bytes;
    {
        std::lock_guard lock(m_bytesMutex);
        if (m_bytesDropped) {
            m_bytes.clear();
            setNote(QString::fromUtf8(kTooLong));
            return;
        }
        bytes = std::move(m_bytes);
        m_bytes.clear();
    }
    if (bytes.isEmpty())
        return; // not kept: the page was not on screen
    delete m_mediaBuffer;
    m_mediaBuffer = new QBuffer(this);
    m_mediaBuffer->setData(bytes);
    m_mediaBuffer->open(QIODevice::ReadOnly);
    m_video->show();
    m_media->setSourceDevice(m_mediaBuffer, QUrl(QStringLiteral("stream.mp4")));
    m_media->play();
}

void CVideoSpeedChild::OnFlashCall(const std::string& request)
{
    const auto r = m_engine->OnFlashCall(request);
    const std::vector<std::string> info = m_engine->info();
    if (request.find(measure::invoke::kInfo) != std::string::npos) {
        for (std::size_t i = 0; i < m_values.size(); ++i)
            m_values[i]->setText(i < info.size() && r.complete ? fromUtf8(info[i]) : QStringLiteral("--"));
        Q_EMIT measurementShown(r.complete);
    }
    if (r.recordReady)
        OnRecordReady(); // sent: handled before the next call
    if (r.quit) {
        ClosePlayer();
        Q_EMIT quitRequested();
    }
}

void CVideoSpeedChild::OnRecordReady()
{
    handOverRecord(*m_engine);
}

// ---------------------------------------------------------------- CVideoSpeedMuch

CVideoSpeedMuch::CVideoSpeedMuch(const ShellContext& context, QWidget* parent) : QWidget(parent), m_context(context)
{
    setObjectName(QStringLiteral("CVideoSpeedMuch"));
    const QString editStyle = QStringLiteral(
        "QLineEdit { border: 1px solid #9db6d3; border-radius: 3px; padding: 2px 6px; background: white; }");
    auto row = [&](const QString& caption, int y, QLineEdit*& edit, ui::SkinButton*& button, const QString& action,
                   const char* name) {
        makeLabel(this, caption, QRect(16, y, 100, 28))->setStyleSheet(QStringLiteral("color: #333;"));
        edit = new QLineEdit(this);
        edit->setObjectName(QLatin1String(name));
        edit->setFont(ui::Skin::font(12));
        edit->setStyleSheet(editStyle);
        edit->setGeometry(116, y, kTestPageWidth - 116 - 110, 28);
        edit->setPlaceholderText(QStringLiteral("http://"));
        button = new ui::SkinButton(QStringLiteral("video/") + QLatin1String(name), action,
                                    ui::SkinButton::Style::Primary, this);
        button->setGeometry(kTestPageWidth - 100, y, 84, 28);
    };
    row(QStringLiteral("视频URL输入："), 24, m_playEdit, m_play, QStringLiteral("播放"), "play");
    row(QStringLiteral("视频URL提取："), 68, m_convertEdit, m_convert, QStringLiteral("提取"), "convert");
    makeLabel(this, QStringLiteral("URL视频提取结果："), QRect(16, 112, 200, 24))
        ->setStyleSheet(QStringLiteral("color: #333;"));
    m_results = new QListWidget(this);
    m_results->setObjectName(QStringLiteral("results"));
    m_results->setFont(ui::Skin::font(11));
    m_results->setGeometry(16, 138, kTestPageWidth - 32, 300);
    m_back =
        new ui::SkinButton(QStringLiteral("video/back"), QStringLiteral("返回"), ui::SkinButton::Style::Plain, this);
    m_back->setObjectName(QStringLiteral("back"));
    m_back->setGeometry(kTestPageWidth / 2 - 50, 456, 100, 32);

    connect(m_play, &QAbstractButton::clicked, this, &CVideoSpeedMuch::OnPlay);
    connect(m_playEdit, &QLineEdit::returnPressed, this, &CVideoSpeedMuch::OnPlay);
    connect(m_convert, &QAbstractButton::clicked, this, &CVideoSpeedMuch::OnConvert);
    connect(m_convertEdit, &QLineEdit::returnPressed, this, &CVideoSpeedMuch::OnConvert);
    connect(m_results, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { OnResultActivated(item->text()); });
    connect(m_back, &QAbstractButton::clicked, this, &CVideoSpeedMuch::backRequested);
}

void CVideoSpeedMuch::checkConnection(const std::string& url, std::function<void()> then)
{
    CheckVideoConnection(m_context, this, url, [this, then = std::move(then)](bool reachable) {
        if (!reachable) {
            m_context.dialogs->warning(this, QString::fromUtf8(text::kNoNetwork));
            return;
        }
        then();
    });
}

void CVideoSpeedMuch::OnPlay()
{
    const std::string address = m_playEdit->text().trimmed().toStdString();
    if (!measure::PassesAddressPattern(address)) {
        m_context.dialogs->message(this, QString::fromUtf8(text::kBadPlayUrl));
        return;
    }
    checkConnection(address, [this, address] { Q_EMIT playRequested(fromUtf8(address)); });
}

void CVideoSpeedMuch::OnConvert()
{
    const std::string address = m_convertEdit->text().trimmed().toStdString();
    if (!measure::PassesAddressPattern(address)) {
        m_context.dialogs->message(this, QString::fromUtf8(text::kBadConvertUrl));
        return;
    }
    if (m_converting)
        return; // one conversion at a time; its list is on the way
    checkConnection(address, [this, address] {
        auto convert = m_context.video.convert ? m_context.video.convert : measure::ConvertPageAddress;
        m_converting = true;
        m_convert->setEnabled(false);
        VideoWorkers(m_context, m_ownWorkers)
            .run<std::vector<std::string>>(
                this, [convert, address] { return convert(address); },
                [this](const std::vector<std::string>& found) {
                    m_converting = false;
                    m_convert->setEnabled(true);
                    if (found.empty()) {
                        m_context.dialogs->message(this, QString::fromUtf8(text::kNoStream));
                        return;
                    }
                    for (const std::string& stream : found)
                        m_results->addItem(fromUtf8(stream));
                });
    });
}

void CVideoSpeedMuch::OnResultActivated(const QString& address)
{
    // The resolver's own find needs no validation; the line still does.
    checkConnection(address.toStdString(), [this, address] { Q_EMIT playRequested(address); });
}

void CVideoSpeedMuch::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), ui::palette::kBody);
}

// ---------------------------------------------------------------- CVideoSpeed

namespace
{
// The preset buttons: caption and the site's label.
struct PresetButton {
    const char* caption;
    const char* label;
};
const PresetButton kPresetButtons[] = {
    {"酷6", "ku6"}, {"优酷", "youku"}, {"乐视", "letv"}, {"土豆", "tudou"}, {"搜狐", "sohu"},
};

const char* const kExplanation = "1. 点击上方视频网站按钮，程序解析该网站的视频页面，得到视频流地址，"
                                 "由内置播放器边下载边播放，并测量视频流的下载速度。\n"
                                 "2. 测量值：最大速率与平均速率（KB/s，1 KB = 1024 字节）、首字节时间与总时间（毫秒）、"
                                 "视频大小与已加载大小（字节）。\n"
                                 "3. 点击“更多”可直接输入视频流地址播放，或从视频网页地址中提取视频流地址。\n"
                                 "4. 测速期间请勿进行下载等占用网络的操作，以免影响测速结果。\n"
                                 "5. 没有显示设备或缺少解码器时，播放器只测速，不播放画面，测速结果不受影响。";

const measure::VideoSite& siteByLabel(const char* label)
{
    for (const measure::VideoSite& s : measure::VideoSites()) {
        if (std::string(s.label) == label)
            return s;
    }
    return measure::VideoSites().front();
}
} // namespace

CVideoSpeed::CVideoSpeed(const ShellContext& context, CVideoSpeedChild* player, QWidget* parent)
    : QWidget(parent), m_context(context), m_player(player)
{
    setObjectName(QStringLiteral("CVideoSpeed"));
    const int width = 78, gap = 8;
    const int left = (kTestPageWidth - (6 * width + 5 * gap)) / 2;
    for (int i = 0; i < 6; ++i) {
        const bool more = i == 5;
        auto* b = new ui::SkinButton(QStringLiteral("video/site%1").arg(i),
                                     more ? QStringLiteral("更多") : QString::fromUtf8(kPresetButtons[i].caption),
                                     more ? ui::SkinButton::Style::Plain : ui::SkinButton::Style::Primary, this);
        b->setObjectName(more ? QStringLiteral("more") : QLatin1String(kPresetButtons[i].label));
        b->setGeometry(left + i * (width + gap), 40, width, 40);
        if (more) {
            m_more = b;
            connect(b, &QAbstractButton::clicked, this, &CVideoSpeed::OnMore);
        } else {
            m_presets[static_cast<std::size_t>(i)] = b;
            connect(b, &QAbstractButton::clicked, this, [this, i] { OnPreset(i); });
        }
    }
    makeLabel(this, QStringLiteral("测 速 说 明"), QRect(24, 120, 200, 24), 14, true)
        ->setStyleSheet(QStringLiteral("color: #1e6fc8;"));
    m_explanation = makeLabel(this, QString::fromUtf8(kExplanation), QRect(24, 150, kTestPageWidth - 48, 260), 12);
    m_explanation->setObjectName(QStringLiteral("explanation"));
    m_explanation->setWordWrap(true);
    m_explanation->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_explanation->setStyleSheet(QStringLiteral("color: #444;"));

    m_much = new CVideoSpeedMuch(m_context, this);
    m_much->setGeometry(rect());
    m_much->hide();
    connect(m_much, &CVideoSpeedMuch::backRequested, this, [this] {
        m_much->hide();
        setOwnButtonsVisible(true);
    });
    connect(m_much, &CVideoSpeedMuch::playRequested, this, [this](const QString& a) { play(a.toStdString()); });
    if (m_player)
        connect(m_player, &CVideoSpeedChild::quitRequested, this, &CVideoSpeed::ShowAgain);
}

void CVideoSpeed::setOwnButtonsVisible(bool visible)
{
    for (ui::SkinButton* b : m_presets) {
        b->setEnabled(visible);
        b->setVisible(visible);
    }
    m_more->setEnabled(visible);
    m_more->setVisible(visible);
    m_explanation->setVisible(visible);
}

void CVideoSpeed::OnPreset(int index)
{
    const measure::VideoSite& site = siteByLabel(kPresetButtons[index].label);
    const auto presets = measure::ReadVideoPresets(m_context.session ? m_context.session->get().userId : "");
    const std::string page = measure::PresetPageFor(presets, site);
    if (page.empty())
        return; // no page of this site among the presets: nothing plays
    CheckVideoConnection(m_context, this, page, [this, page](bool reachable) {
        if (!reachable) {
            m_context.dialogs->warning(this, QString::fromUtf8(text::kNoNetwork));
            show();
            return;
        }
        if (!m_player || !m_player->PlayerCanStart()) {
            m_context.dialogs->message(this, QString::fromUtf8(text::kNoPlayer));
            return;
        }
        showPlayer();
        const int ticket = m_player->BeginResolving(page);
        std::function<std::string(const std::string&)> resolve = m_context.video.resolve;
        if (!resolve)
            resolve = [](const std::string& p) { return ResolveStreamAddress(p); };
        // The player page shows while the site answers; the stream plays
        // unless the user closed the player or left the video test meanwhile.
        QPointer<CVideoSpeedChild> player(m_player);
        VideoWorkers(m_context, m_ownWorkers)
            .run<std::string>(
                this, [resolve, page] { return resolve(page); },
                [player, ticket](const std::string& stream) {
                    if (player)
                        player->PlayResolved(ticket, stream);
                });
    });
}

void CVideoSpeed::showPlayer()
{
    m_player->setGeometry(geometry());
    m_player->show();
    m_player->raise();
    hide();
}

void CVideoSpeed::play(const std::string& stream)
{
    if (!m_player)
        return;
    showPlayer();
    m_player->PlayManual(stream);
}

void CVideoSpeed::OnMore()
{
    setOwnButtonsVisible(false);
    m_much->setGeometry(rect());
    m_much->show();
    m_much->raise();
    flags::autoAbortArmed = 0;
}

void CVideoSpeed::ShowAgain()
{
    m_much->hide();
    setOwnButtonsVisible(true);
    show();
}

void CVideoSpeed::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), ui::palette::kBody);
}

} // namespace quorvane
