#pragma once
// The short notice Update shows before it ends the main program for an
// install: a message and a countdown from 5, one step a second, closing
// itself once the count has passed 0.
//
// GUI thread only.
#include "ui/timer_service.h"

#include <QDialog>

class QLabel;

namespace quorvane::update
{

class CEndTipDlg : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kCountdownTimer = 1;
    static constexpr int kStartCount = 5;

    // `timers` drives the countdown and must outlive the window.
    explicit CEndTipDlg(ui::TimerService& timers, QWidget* parent = nullptr);
    ~CEndTipDlg() override;

    int count() const { return m_count; }
    QString titleText() const;
    QString messageText() const;
    // "剩余" + the number + "秒", as shown.
    QString countdownText() const;

private:
    void onTimer(int id);

    ui::TimerService& m_timers;
    int m_count = kStartCount;
    QLabel* m_title = nullptr;
    QLabel* m_message = nullptr;
    QLabel* m_before = nullptr;
    QLabel* m_number = nullptr;
    QLabel* m_after = nullptr;
};

} // namespace quorvane::update
