#pragma once
// The video test's three pages:
//  - CVideoSpeed: one button per preset site, "更多" and the explanation;
//  - CVideoSpeedMuch: the address page inside it (play an address, or turn
//    a page address into its stream addresses);
//  - CVideoSpeedChild: the player page. It hosts the built-in stream player
//    (measure::StreamPlayer) in place of a movie, talks to it with the same
//    invoke requests, shows the picture when it can, and writes the record.
//
// Thread-safety: GUI thread only, except CVideoSpeedChild::RunAutoTest,
// which runs on the scheduler's thread and blocks it until the player's run
// has ended; the measurement then reaches the page on its own thread.
#include "app/pages/speed_test_dlg.h"
#include "measure/stream_player.h"
#include "measure/video_test.h"
#include "ui/workers.h"

#include <QByteArray>
#include <QTimer>
#include <QWidget>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class QLabel;
class QLineEdit;
class QListWidget;
class QMediaPlayer;
class QVideoWidget;
class QBuffer;

namespace quorvane
{

namespace ui
{
class SkinButton;
} // namespace ui

class CVideoSpeedChild : public CSpeedTestDlg
{
    Q_OBJECT
public:
    // `latestResult` sets the main window's latest result text (automatic
    // results only); may be empty. `shipper` as for the other test pages.
    CVideoSpeedChild(const ShellContext& context, LatestResult latestResult, RecordShipper* shipper,
                     QWidget* parent = nullptr);
    ~CVideoSpeedChild() override;

    // The built-in player can start (it always can measure); false only when
    // it could not be made.
    bool PlayerCanStart() const { return m_player != nullptr; }
    // Shows the picture, or says why not (no display, no decoder).
    bool PlaybackAvailable() const { return m_playback; }

    // The manual play request with `streamAddress`.
    void PlayManual(const std::string& streamAddress);
    // A preset's page is being resolved to its stream: the page says so.
    // Returns the ticket that PlayResolved needs; closing the player (or a
    // newer resolution) makes it stale.
    int BeginResolving(const std::string& pageAddress);
    // The manual play request for the stream resolved under `ticket`;
    // nothing when the ticket is stale (the user left or closed the player).
    bool PlayResolved(int ticket, const std::string& streamAddress);
    // RunAutoTest runs on the scheduler's thread.
    // The stop request, then hidden: on the player's quit and whenever the
    // main window leaves the video test.
    void ClosePlayer();

    measure::VideoSpeedTest& engine() const { return *m_engine; }
    measure::StreamPlayer& player() const { return *m_player; }

    // The stream bytes held for showing (kept from the run and given to the
    // picture); none while the page is off screen.
    qsizetype heldBytes();

    // Controls, for tests and the screenshots.
    QLabel* valueLabel(int position) const { return m_values[static_cast<std::size_t>(position)]; }
    QLabel* statusLabel() const { return m_status; }
    QLabel* playbackNote() const { return m_note; }
    ui::SkinButton* closeButton() const { return m_close; }

Q_SIGNALS:
    // recordHandled after 0x478.
    // The player reported its measurement (complete or not).
    void measurementShown(bool complete);
    // The user closed the player: the video page shows again.
    void quitRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void takeUser(const UserSession& now) override { m_engine->setUser(now); }
    int runAutomatic(bool useStoredKey, bool isAutomatic) override;

    void buildControls();
    void OnFlashCall(const std::string& request); // the player's calls, on this thread
    void OnRecordReady();                         // 0x478
    void onRunStarted(const QString& url);
    void onRunEnded(const measure::StreamFigures& figures);
    void onTick();
    void startPlayback();
    void setNote(const QString& text);

    bool m_playback = false;

    std::mutex m_bytesMutex; // the run thread appends, this thread plays
    QByteArray m_bytes;
    bool m_bytesDropped = false; // the stream outgrew what is kept for showing
    // The stream is kept for showing only while the page is on screen: in
    // the tray nothing is shown, so nothing is kept.
    std::atomic<bool> m_shown{false};

    QTimer m_tick;
    std::array<QLabel*, 6> m_values{};
    QLabel* m_status = nullptr;
    QLabel* m_note = nullptr;
    QLabel* m_screen = nullptr; // stands where the picture goes when there is none
    ui::SkinButton* m_close = nullptr;
    QVideoWidget* m_video = nullptr;
    QMediaPlayer* m_media = nullptr;
    QBuffer* m_mediaBuffer = nullptr;
    int m_resolveTicket = 0;

    std::unique_ptr<measure::VideoSpeedTest> m_engine;
    std::unique_ptr<measure::StreamPlayer> m_player; // last member: its run ends first
};

class CVideoSpeedMuch : public QWidget
{
    Q_OBJECT
public:
    CVideoSpeedMuch(const ShellContext& context, QWidget* parent);

    QLineEdit* playEdit() const { return m_playEdit; }
    QLineEdit* convertEdit() const { return m_convertEdit; }
    QListWidget* results() const { return m_results; }
    ui::SkinButton* playButton() const { return m_play; }
    ui::SkinButton* convertButton() const { return m_convert; }
    ui::SkinButton* backButton() const { return m_back; }

    void OnPlay();
    void OnConvert();
    void OnResultActivated(const QString& address);

Q_SIGNALS:
    // Play this address on the player page.
    void playRequested(const QString& address);
    void backRequested();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void checkConnection(const std::string& url, std::function<void()> then);

    ShellContext m_context;
    std::unique_ptr<ui::Workers> m_ownWorkers;
    bool m_converting = false;
    QLineEdit* m_playEdit = nullptr;
    QLineEdit* m_convertEdit = nullptr;
    QListWidget* m_results = nullptr;
    ui::SkinButton* m_play = nullptr;
    ui::SkinButton* m_convert = nullptr;
    ui::SkinButton* m_back = nullptr;
};

class CVideoSpeed : public QWidget
{
    Q_OBJECT
public:
    // The player page lives beside this page in the main window.
    CVideoSpeed(const ShellContext& context, CVideoSpeedChild* player, QWidget* parent);

    // Preset buttons in caption order: 酷6, 优酷, 乐视, 土豆, 搜狐.
    ui::SkinButton* presetButton(int index) const { return m_presets.at(static_cast<std::size_t>(index)); }
    ui::SkinButton* moreButton() const { return m_more; }
    CVideoSpeedMuch* addressPage() const { return m_much; }

    void OnPreset(int index);
    void OnMore();
    // The player closed: this page with its buttons again.
    void ShowAgain();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void play(const std::string& stream);
    void showPlayer();
    void setOwnButtonsVisible(bool visible);

    ShellContext m_context;
    std::unique_ptr<ui::Workers> m_ownWorkers;
    CVideoSpeedChild* m_player;
    std::array<ui::SkinButton*, 5> m_presets{};
    ui::SkinButton* m_more = nullptr;
    QLabel* m_explanation = nullptr;
    CVideoSpeedMuch* m_much = nullptr;
};

// The context's owner of request workers, else `own` (made when first
// needed): the site resolvers block for seconds and must not block the
// window.
ui::Workers& VideoWorkers(const ShellContext& context, std::unique_ptr<ui::Workers>& own);

// Can the host of `url` be reached: a TCP connect given up after 3 s (or
// the context's own check). `done` runs on `owner`'s thread, unless owner
// went away.
void CheckVideoConnection(const ShellContext& context, QObject* owner, const std::string& url,
                          std::function<void(bool)> done);

} // namespace quorvane
