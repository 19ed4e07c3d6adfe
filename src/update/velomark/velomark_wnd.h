#pragma once
// Velomark's window: the release notes and progress in one list, the
// progress bar of files fetched, the agreement box and the two buttons. It
// owns the flow and only shows what the flow reports.
//
// Thread-safety: GUI thread only.
#include "ui/message_dialogs.h"
#include "update/velomark/velomark_flow.h"

#include <functional>

class QCheckBox;
class QListWidget;
class QProgressBar;

namespace quorvane::velomark
{

// The message window: one text (`txt_q`), `btn_ok` closes it, `close_btn`
// closes it and asks the whole program to end once the current step is done.
class CVelomarkMsgDlg : public ui::MessageWindow
{
    Q_OBJECT
public:
    static constexpr int kQuitRequested = 2;
    explicit CVelomarkMsgDlg(const QString& text, QWidget* parent = nullptr);
};

class CVelomarkWnd : public ui::SkinDialog
{
    Q_OBJECT
public:
    static constexpr int kWidth = 538;
    static constexpr int kHeight = 700;
    static constexpr int kCaptionHeight = 40;

    CVelomarkWnd(std::filesystem::path programDir, Services services, QWidget* parent = nullptr);
    ~CVelomarkWnd() override;

    VelomarkFlow& flow() { return *m_flow; }

    // Who shows the flow's messages; by default the modal message window.
    // Tests answer them without a modal loop.
    void setMessenger(std::function<void(const QString&)> messenger) { m_messenger = std::move(messenger); }

    // Puts the window in the middle of its screen.
    void centre();

protected:
    void reject() override; // Escape: the same as btn_no

private:
    void showMessage(const QString& text);
    void giveUp();

    VelomarkFlow* m_flow = nullptr;
    QListWidget* m_list = nullptr;
    QProgressBar* m_progress = nullptr;
    QCheckBox* m_agree = nullptr;
    ui::SkinButton* m_ok = nullptr;
    std::function<void(const QString&)> m_messenger;
};

} // namespace quorvane::velomark
