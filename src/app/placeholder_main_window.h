#pragma once
// Stands in for the main window until it exists: shows the program title and
// the installed version, and says so when a second start activates it. It
// does not measure and does not claim to.
#include "app/main_window_host.h"

#include <QWidget>

class QLabel;

namespace quorvane
{

class PlaceholderMainWindow final : public QWidget, public MainWindowHost
{
public:
    explicit PlaceholderMainWindow(const StartupContext& context);

    bool isWindowShown() const override;
    void onTrayNotify(long long wParam, long long lParam) override;
    void bringToFront() override;
    int exec() override;

    QString statusText() const;

private:
    QLabel* m_status = nullptr;
};

} // namespace quorvane
