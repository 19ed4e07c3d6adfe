#pragma once
// The settings page of the main window: the frame CSettingsDlg with its
// column of seven menu entries, and the one long page CBasicSettingDlg that
// holds every section and scrolls under them. Every change is written at
// once: start with the desktop session, the two start-up flags, the tests
// and targets of automatic testing, the user's own web sites and download
// files; the page also reaches the update check, the service's pages, the
// help and the about box.
//
// Thread-safety: GUI thread only. The update check and the service's pages
// run their requests on workers.
#include "app/pages/shell_context.h"
#include "ui/workers.h"

#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QScrollBar;
class QSpinBox;

namespace quorvane
{

namespace ui
{
class SkinButton;
}
namespace update
{
struct UpdateDecision;
}

// Where the sections of the page lie, in pixels from its top. User items sit
// two to a row under their module, so every second item adds a row.
struct SettingsLayout {
    static constexpr int kRow = 30;
    static constexpr int kSectionHeight = 110; // sections 3 to 7

    int webUserRows = 0;
    int downloadUserRows = 0;
    std::array<int, 7> sectionTop{};
    // Rows inside section 2.
    int bandwidthModule = 0, shortfallNotice = 0, webModule = 0, webItems = 0, webUser = 0, webAdd = 0;
    int downloadModule = 0, downloadItems = 0, downloadUser = 0, downloadAdd = 0;
    int videoModule = 0, videoItems = 0;
    int metricsEndpoint = 0; // the last row of section 2
    int height = 0; // the whole page, tall enough for entry 6 to reach its section

    static SettingsLayout compute(int webUserItems, int downloadUserItems, int viewportHeight);
};

// The scroll position (units of 10 pixels) to which menu entry `entry` (1 to
// 7) moves the page: its section's top, entry 7 the end.
int menuScrollPosition(const SettingsLayout& layout, int entry, int maxPosition);

class CBasicSettingDlg : public QWidget
{
    Q_OBJECT
public:
    // Module ids in the order the page shows them: bandwidth, web pages,
    // download files, videos; and how many fixed item boxes each has.
    static constexpr std::array<const char*, 4> kModuleIds = {"1", "2", "4", "3"};
    static constexpr std::array<int, 4> kItemBoxes = {0, 14, 5, 5};

    CBasicSettingDlg(const ShellContext& context, QWidget* parent = nullptr);

    // Opening the page: every box from the files, the user's documents made
    // and refreshed from the template, one row per user item.
    void OnInitDialog();
    const SettingsLayout& layout() const { return m_layout; }
    void relayout(int viewportHeight);

    // Controls, for the frame and the tests. `module` is a module id.
    QCheckBox* autoStartBox() const { return m_autoStart; }
    QCheckBox* manualFlagBox() const { return m_manualFlag; }
    QCheckBox* autoFlagBox() const { return m_autoFlag; }
    QCheckBox* metricsBox() const { return m_metricsBox; }
    // The notice when automatic bandwidth results stay short of the contract.
    QCheckBox* shortfallBox() const { return m_shortfallBox; }
    QSpinBox* shortfallPercent() const { return m_shortfallPercent; }
    QSpinBox* shortfallCount() const { return m_shortfallCount; }
    QCheckBox* moduleBox(const std::string& module) const;
    QCheckBox* itemBox(const std::string& module, int position) const; // position 1..14 or 1..5
    struct UserRow {
        std::string itemId;
        QCheckBox* box = nullptr;
        ui::SkinButton* remove = nullptr;
    };
    const std::vector<UserRow>& userRows(const std::string& module) const;
    ui::SkinButton* button(const char* objectName) const;

    // Actions of the buttons.
    void OnAddItem(const std::string& module);
    void OnRemoveItem(const std::string& module, const std::string& itemId);
    void OnCheckUpdate();
    void OnPortalPage(const std::string& pageType);
    void OnHelp();
    void OnAbout();

Q_SIGNALS:
    // A file could not be read or written: one line for the frame ("" clears it).
    void problem(const QString& text);
    // The user rows changed, and with them the page's height.
    void rowsChanged();
    // The update check ended (it ran on a worker).
    void updateCheckFinished();

private:
    struct Module {
        std::string id;
        QCheckBox* box = nullptr;
        std::vector<QCheckBox*> items;
        std::vector<UserRow> userRows;
    };

    std::string userId() const;
    Module* module(const std::string& id);
    void buildSection(int index, const QString& title);
    void loadBoxes();
    void loadUserRows();
    void onItemClicked(Module& m, int position, bool checked);
    void onUserItemClicked(Module& m, const std::string& itemId, bool checked);
    void onModuleClicked(Module& m, bool checked);
    // A setting the shell keeps: changed through `set`, shown as `isOn` then
    // reports it; `failed` is said when that is not what the user asked for.
    void applySwitch(QCheckBox* box, bool checked, const std::function<bool(bool)>& set,
                     const std::function<bool()>& isOn, const QString& failed);
    void onAutoStartClicked(bool checked);
    void onMetricsClicked(bool checked);
    void loadShortfall();
    void onShortfallChanged();
    void onFlagClicked(QCheckBox* box, const std::string& file, const char* key, bool checked);
    void cannotSave(const std::string& file);
    void say(const QString& text);
    void updateDecided(const update::UpdateDecision& decision);

    ShellContext m_context;
    SettingsLayout m_layout;
    QString m_problem;
    QCheckBox* m_autoStart = nullptr;
    QCheckBox* m_manualFlag = nullptr;
    QCheckBox* m_autoFlag = nullptr;
    QCheckBox* m_metricsBox = nullptr;
    QCheckBox* m_shortfallBox = nullptr;
    QSpinBox* m_shortfallCount = nullptr;
    QSpinBox* m_shortfallPercent = nullptr;
    std::array<QLabel*, 3> m_shortfallWords{};
    std::array<Module, 4> m_modules;
    std::array<QLabel*, 7> m_headers{};
    std::array<QLabel*, 5> m_notes{};
    std::vector<ui::SkinButton*> m_buttons;
    bool m_checking = false;
    // The main window's owner of request workers, or our own without one.
    ui::Workers& workers();
    std::unique_ptr<ui::Workers> m_ownWorkers;
};

class CSettingsDlg : public QWidget
{
    Q_OBJECT
public:
    static constexpr std::array<const char*, 7> kMenuTitles = {"启动设置", "测速项目", "软件更新", "个人资料",
                                                               "用户论坛", "使用帮助", "关于软件"};
    static constexpr int kMenuWidth = 110;

    CSettingsDlg(const ShellContext& context, QWidget* parent = nullptr);

    // Opening the page (every time the main window shows it).
    void OnInitDialog();
    // Menu entry k (1 to 7): scrolls and marks it as current.
    void OnMenuEntry(int entry);
    int currentEntry() const { return m_current; }
    int scrollPosition() const; // units of 10 pixels
    int maxScrollPosition() const;
    CBasicSettingDlg* page() const { return m_page; }
    QLabel* problemLine() const { return m_problemLine; }
    ui::SkinButton* menuEntry(int entry) const { return m_menu[static_cast<std::size_t>(entry - 1)]; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void relayout();
    void onScrolled(int position);

    CBasicSettingDlg* m_page = nullptr;
    QWidget* m_viewport = nullptr;
    QScrollBar* m_bar = nullptr;
    QLabel* m_problemLine = nullptr;
    std::array<ui::SkinButton*, 7> m_menu{};
    int m_current = 1;
};

} // namespace quorvane
