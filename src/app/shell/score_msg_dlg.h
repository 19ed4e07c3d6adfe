#pragma once
// The score notice shown after every login: a small topmost window in the
// bottom-right corner of the work area that stays six seconds and then slides
// away downwards.
//
// Thread-safety: GUI thread only.
#include "app/login/session.h"

#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

namespace quorvane
{

namespace ui
{
class TimerService;
}

// The notice's lines, without any window.
struct ScoreNotice {
    static QString greeting(int localHour); // "上午" up to hour 11
    // pre_date as the property file stores it ("2013-05-06 09\:41\:07").
    static QString lastLogin(const std::string& storedPreDate);
    static QStringList lines(int localHour, const std::string& userId, const std::string& nickname,
                             const ScoreValues& scores, const std::string& storedPreDate);
};

class CScoreMsgDlg : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kStayMs = 6000;
    static constexpr int kStepMs = 55;
    static constexpr int kStepPixels = 20;
    static constexpr int kWidth = 300;
    static constexpr int kHeight = 230;

    // `timers` drives the stay and the slide (a real timer service when
    // null); `openScorePage` runs for the "查看积分" link.
    CScoreMsgDlg(const QStringList& lines, std::function<void()> openScorePage,
                 std::unique_ptr<ui::TimerService> timers = nullptr, QWidget* parent = nullptr);
    ~CScoreMsgDlg() override;

    // Shows the window at the bottom-right corner and starts its life.
    void present();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void onTimer(int id);

    std::unique_ptr<ui::TimerService> m_timers;
};

} // namespace quorvane
