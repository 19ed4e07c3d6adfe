#pragma once
// The numbered messages, timers, results and icons the shell's windows
// exchange. Other parts of the program post some of them.
namespace quorvane::msg
{

inline constexpr int WM_TRAY_NOTIFY = 1174;
inline constexpr int WM_SHOW_SCORE = 1175;
inline constexpr int WM_RUN_WEB_TASK = 1176;
inline constexpr int WM_INVALID_RESULT = 1177;

inline constexpr int TIMER_AUTO_ROUND = 10;
inline constexpr int TIMER_PDH_INIT = 11;
inline constexpr int TIMER_AUTO_LOGIN = 12;
inline constexpr int TIMER_SCORE_REFRESH = 13;
inline constexpr int kPdhInitMs = 100;
inline constexpr int kAutoLoginMs = 5000;
inline constexpr int kScoreRefreshMs = 21600000; // 6 hours

inline constexpr int kTrayIconId = 128; // also the logged-in icon
inline constexpr int kIconLoggedOut = 161;

// Control and command ids.
inline constexpr int IDC_CLOSE = 1000;
inline constexpr int IDC_MINIMISE = 1001;
inline constexpr int IDC_LOGOFF = 1173;
inline constexpr int IDC_SCORE = 1230;
inline constexpr int IDC_AUTO_TEST = 1319;
inline constexpr int ID_TRAY_OPEN = 1393;
inline constexpr int IDM_ABOUT = 16;

} // namespace quorvane::msg
