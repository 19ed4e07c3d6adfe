#include "app/pages/settings_dlg.h"

#include "app/login/conf_files.h"
#include "app/pages/add_web_per.h"
#include "app/pages/shell_dialogs.h"
#include "common/paths.h"
#include "common/property_file.h"
#include "config/readers.h"
#include "config/user_documents.h"
#include "config/xml_doc.h"
#include "ui/message_dialogs.h"
#include "ui/skin.h"
#include "ui/workers.h"
#include "update/update_check.h"

#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QUrl>
#include <QWheelEvent>

#include <algorithm>
#include <filesystem>

namespace quorvane
{
namespace
{

constexpr int kPageWidth = 412;
constexpr int kColumn2 = 224; // second column of items and user rows
const QColor kPageColour(0xEE, 0xFA, 0xFC);

const char* const kModuleCaptions[] = {"带宽测速", "网页性能", "文件下载", "视频测速"};

std::string fileOf(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

const TaskModule* findModule(const std::vector<TaskModule>& modules, const std::string& id)
{
    auto it = std::find_if(modules.begin(), modules.end(), [&](const TaskModule& m) { return m.id == id; });
    return it == modules.end() ? nullptr : &*it;
}

const TaskItem* findItem(const TaskModule* module, const std::string& id)
{
    if (!module)
        return nullptr;
    auto it = std::find_if(module->items.begin(), module->items.end(), [&](const TaskItem& i) { return i.id == id; });
    return it == module->items.end() ? nullptr : &*it;
}

bool unparsable(const std::string& path)
{
    CXmlDoc doc;
    doc.Load(path);
    return doc.source() == CXmlDoc::Source::Unparsable;
}

} // namespace

// --- layout -----------------------------------------------------------------------

SettingsLayout SettingsLayout::compute(int webUserItems, int downloadUserItems, int viewportHeight)
{
    SettingsLayout l;
    l.webUserRows = (std::max(0, webUserItems) + 1) / 2;
    l.downloadUserRows = (std::max(0, downloadUserItems) + 1) / 2;
    l.sectionTop[0] = 30;
    l.sectionTop[1] = l.sectionTop[0] + kRow + 3 * kRow; // header and three boxes: 150
    int y = l.sectionTop[1] + kRow;
    l.bandwidthModule = y;
    l.shortfallNotice = y += kRow; // two rows
    l.webModule = y += 2 * kRow;
    l.webItems = y += kRow;
    l.webUser = y += 7 * kRow;
    l.webAdd = y += l.webUserRows * kRow;
    l.downloadModule = y += kRow;
    l.downloadItems = y += kRow;
    l.downloadUser = y += 3 * kRow;
    l.downloadAdd = y += l.downloadUserRows * kRow;
    l.videoModule = y += kRow;
    l.videoItems = y += kRow;
    l.metricsEndpoint = y += 3 * kRow;
    l.sectionTop[2] = y + kRow + 10;
    for (std::size_t k = 3; k < 7; ++k)
        l.sectionTop[k] = l.sectionTop[k - 1] + kSectionHeight;
    // The last sections are short: the page goes on far enough below them
    // that every entry but the last can bring its section to the top, and
    // the last one a little further, to the end.
    l.height = std::max(l.sectionTop[6] + kSectionHeight, l.sectionTop[5] + viewportHeight + 50);
    return l;
}

int menuScrollPosition(const SettingsLayout& layout, int entry, int maxPosition)
{
    if (entry >= 7)
        return maxPosition;
    const int k = std::clamp(entry, 1, 7) - 1;
    return std::min(layout.sectionTop[static_cast<std::size_t>(k)] / 10, maxPosition);
}

// --- the page ---------------------------------------------------------------------

CBasicSettingDlg::CBasicSettingDlg(const ShellContext& context, QWidget* parent) : QWidget(parent), m_context(context)
{
    setObjectName(QStringLiteral("CBasicSettingDlg"));
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, kPageColour);
    setPalette(p);

    for (int i = 0; i < 7; ++i)
        buildSection(i, QString::fromUtf8(CSettingsDlg::kMenuTitles[static_cast<std::size_t>(i)]));

    const QFont plain = ui::Skin::font(12);
    auto box = [&](const QString& text, const char* name) {
        auto* b = new QCheckBox(text, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setFont(plain);
        return b;
    };
    m_autoStart = box(QStringLiteral("登录桌面时自动启动测速软件"), "autoStart");
    connect(m_autoStart, &QCheckBox::clicked, this, &CBasicSettingDlg::onAutoStartClicked);
    m_manualFlag = box(QStringLiteral("登录后自动开始自动测速"), "manualFlag");
    connect(m_manualFlag, &QCheckBox::clicked, this,
            [this](bool on) { onFlagClicked(m_manualFlag, conf::configFile(), "manual", on); });
    m_autoFlag = box(QStringLiteral("启动时自动登录，不显示登录窗口"), "autoFlag");
    connect(m_autoFlag, &QCheckBox::clicked, this,
            [this](bool on) { onFlagClicked(m_autoFlag, conf::loginFile(), "auto", on); });
    m_metricsBox = box(QStringLiteral("向本机的 Prometheus 提供测速指标（/metrics）"), "metricsEndpoint");
    m_metricsBox->setToolTip(QStringLiteral("只在 127.0.0.1 上提供；端口见 conf/config.properties 的 metrics_port"));
    connect(m_metricsBox, &QCheckBox::clicked, this, &CBasicSettingDlg::onMetricsClicked);

    m_shortfallBox = box(QStringLiteral("自动测速的带宽持续偏低时提醒我"), "shortfallNotice");
    m_shortfallBox->setToolTip(QStringLiteral("以测速页选择的签约带宽为准；手动测速不计入"));
    connect(m_shortfallBox, &QCheckBox::clicked, this, &CBasicSettingDlg::onShortfallChanged);
    auto spin = [&](const char* name, int low, int high, const QString& suffix) {
        auto* s = new QSpinBox(this);
        s->setObjectName(QString::fromLatin1(name));
        s->setFont(plain);
        s->setRange(low, high);
        s->setSuffix(suffix);
        // One write per finished entry, not one per keystroke.
        s->setKeyboardTracking(false);
        connect(s, &QSpinBox::valueChanged, this, &CBasicSettingDlg::onShortfallChanged);
        return s;
    };
    m_shortfallCount = spin("shortfallCount", 1, ShortfallSettings::kMaxCount, QString());
    m_shortfallPercent = spin("shortfallPercent", 1, ShortfallSettings::kMaxPercent, QStringLiteral(" %"));
    const char* const words[] = {"连续", "次低于签约带宽的", "时"};
    for (std::size_t i = 0; i < m_shortfallWords.size(); ++i) {
        m_shortfallWords[i] = new QLabel(QString::fromUtf8(words[i]), this);
        m_shortfallWords[i]->setFont(plain);
    }

    for (std::size_t i = 0; i < m_modules.size(); ++i) {
        Module& m = m_modules[i];
        m.id = kModuleIds[i];
        m.box = box(QString::fromUtf8(kModuleCaptions[i]), ("module" + m.id).c_str());
        m.box->setFont(ui::Skin::font(12, true));
        connect(m.box, &QCheckBox::clicked, this, [this, &m](bool on) { onModuleClicked(m, on); });
        for (int k = 1; k <= kItemBoxes[i]; ++k) {
            QCheckBox* item = box(QString(), ("item" + m.id + "_" + std::to_string(k)).c_str());
            connect(item, &QCheckBox::clicked, this, [this, &m, k](bool on) { onItemClicked(m, k, on); });
            m.items.push_back(item);
        }
    }

    auto addButton = [&](const char* name, const QString& caption, ui::SkinButton::Style style) {
        auto* b =
            new ui::SkinButton(QStringLiteral("settings/%1").arg(QString::fromLatin1(name)), caption, style, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setFont(plain);
        m_buttons.push_back(b);
        return b;
    };
    connect(addButton("addWeb", QStringLiteral("添加网站"), ui::SkinButton::Style::Plain), &QAbstractButton::clicked,
            this, [this] { OnAddItem(kModuleWebPage); });
    connect(addButton("addDownload", QStringLiteral("添加下载文件"), ui::SkinButton::Style::Plain),
            &QAbstractButton::clicked, this, [this] { OnAddItem(kModuleDownload); });
    connect(addButton("checkUpdate", QStringLiteral("检查更新"), ui::SkinButton::Style::Primary),
            &QAbstractButton::clicked, this, &CBasicSettingDlg::OnCheckUpdate);
    connect(addButton("userPage", QStringLiteral("个人资料"), ui::SkinButton::Style::Primary),
            &QAbstractButton::clicked, this, [this] { OnPortalPage("update"); });
    connect(addButton("bbsPage", QStringLiteral("用户论坛"), ui::SkinButton::Style::Primary), &QAbstractButton::clicked,
            this, [this] { OnPortalPage("bbs"); });
    connect(addButton("help", QStringLiteral("打开帮助"), ui::SkinButton::Style::Primary), &QAbstractButton::clicked,
            this, &CBasicSettingDlg::OnHelp);
    connect(addButton("about", QStringLiteral("关于"), ui::SkinButton::Style::Primary), &QAbstractButton::clicked, this,
            &CBasicSettingDlg::OnAbout);

    const char* const notes[] = {
        "检查测速服务器上是否有新版本，有则启动更新程序。",
        "在测速服务网站查看和修改您的个人资料。",
        "到用户论坛交流测速心得、反馈问题。",
        "四种测速的说明、自动测速、测速记录和日志的位置。",
        "",
    };
    for (std::size_t i = 0; i < m_notes.size(); ++i) {
        m_notes[i] = new QLabel(QString::fromUtf8(notes[i]), this);
        m_notes[i]->setFont(plain);
        m_notes[i]->setWordWrap(true);
        m_notes[i]->setStyleSheet(QStringLiteral("color: #555;"));
    }
    relayout(557);
}

void CBasicSettingDlg::buildSection(int index, const QString& title)
{
    auto* header = new QLabel(title, this);
    header->setObjectName(QStringLiteral("section%1").arg(index + 1));
    header->setFont(ui::Skin::font(14, true));
    header->setStyleSheet(QStringLiteral("color: #1e6fc8; border-bottom: 1px solid #9db6d3;"));
    m_headers[static_cast<std::size_t>(index)] = header;
}

std::string CBasicSettingDlg::userId() const
{
    return m_context.session ? m_context.session->get().userId : std::string();
}

CBasicSettingDlg::Module* CBasicSettingDlg::module(const std::string& id)
{
    for (Module& m : m_modules)
        if (m.id == id)
            return &m;
    return nullptr;
}

QCheckBox* CBasicSettingDlg::moduleBox(const std::string& id) const
{
    for (const Module& m : m_modules)
        if (m.id == id)
            return m.box;
    return nullptr;
}

QCheckBox* CBasicSettingDlg::itemBox(const std::string& id, int position) const
{
    for (const Module& m : m_modules)
        if (m.id == id && position >= 1 && position <= static_cast<int>(m.items.size()))
            return m.items[static_cast<std::size_t>(position - 1)];
    return nullptr;
}

const std::vector<CBasicSettingDlg::UserRow>& CBasicSettingDlg::userRows(const std::string& id) const
{
    static const std::vector<UserRow> none;
    for (const Module& m : m_modules)
        if (m.id == id)
            return m.userRows;
    return none;
}

ui::SkinButton* CBasicSettingDlg::button(const char* objectName) const
{
    for (ui::SkinButton* b : m_buttons)
        if (b->objectName() == QLatin1String(objectName))
            return b;
    return nullptr;
}

void CBasicSettingDlg::say(const QString& text)
{
    m_problem = text;
    Q_EMIT problem(text);
}

void CBasicSettingDlg::cannotSave(const std::string& file)
{
    say(QStringLiteral("无法保存设置：%1 无法写入，已恢复为文件中的设置。").arg(QString::fromStdString(file)));
}

void CBasicSettingDlg::OnInitDialog()
{
    say({});
    // 1. Start with the desktop session: whatever the entry says now.
    m_autoStart->setEnabled(static_cast<bool>(m_context.isAutoStart && m_context.setAutoStart));
    m_autoStart->setChecked(m_context.isAutoStart && m_context.isAutoStart());
    m_metricsBox->setEnabled(static_cast<bool>(m_context.setMetricsEndpoint));
    m_metricsBox->setChecked(m_context.metricsEndpointOn && m_context.metricsEndpointOn());

    // 2. The start-up flags.
    {
        PropertyFile login(conf::loginFile());
        login.load();
        m_autoFlag->setChecked(login.get("auto") == "1");
        PropertyFile config(conf::configFile());
        config.load();
        m_manualFlag->setChecked(config.get("manual") == "1");
    }

    // 3. The user's settings document, made from the template and refreshed.
    const std::string id = userId();
    const std::string settings = userSettingsPath(id);
    const bool wasUnreadable = !id.empty() && unparsable(settings);
    if (!EnsureUserSettings(id)) {
        say(QStringLiteral("无法创建设置文件 %1，测速项目的设置暂不可用。").arg(QString::fromStdString(settings)));
    } else if (wasUnreadable) {
        say(QStringLiteral("设置文件 %1 无法读取，已另存为 %2.unreadable，并按默认设置重建。")
                .arg(QString::fromStdString(settings), QString::fromStdString(fileOf(settings))));
    }
    ReconcileUserSettings(id);

    // 4. and 5. The boxes and the user's own items.
    loadBoxes();
    loadShortfall();
    loadUserRows();
    Q_EMIT rowsChanged();
}

void CBasicSettingDlg::loadBoxes()
{
    const std::vector<TaskModule> modules = ReadModules(userSettingsPath(userId()));
    for (std::size_t i = 0; i < m_modules.size(); ++i) {
        Module& m = m_modules[i];
        const TaskModule* doc = findModule(modules, m.id);
        m.box->setEnabled(doc != nullptr);
        m.box->setChecked(doc && doc->selected);
        if (doc && !doc->name.empty())
            m.box->setText(QString::fromStdString(doc->name));
        for (std::size_t k = 0; k < m.items.size(); ++k) {
            const TaskItem* item = findItem(doc, std::to_string(k + 1));
            QCheckBox* box = m.items[k];
            box->setVisible(item != nullptr);
            box->setText(item ? QString::fromStdString(item->name) : QString());
            box->setToolTip(item ? QString::fromStdString(item->url) : QString());
            box->setChecked(item && item->selected);
            box->setEnabled(doc && doc->selected);
        }
    }
}

void CBasicSettingDlg::loadUserRows()
{
    for (Module& m : m_modules) {
        for (UserRow& row : m.userRows) {
            delete row.box;
            delete row.remove;
        }
        m.userRows.clear();
    }
    const std::string tasks = userTasksPath(userId());
    if (unparsable(tasks)) {
        // Kept as it is; adding an item sets it aside and starts afresh.
        say(QStringLiteral("自定义项目文件 %1 无法读取，其中的网站和文件暂不显示。")
                .arg(QString::fromStdString(tasks)));
        return;
    }
    const std::vector<TaskModule> modules = ReadModules(tasks);
    for (const char* id : {kModuleWebPage, kModuleDownload}) {
        Module* m = module(id);
        const TaskModule* doc = findModule(modules, id);
        if (!m || !doc)
            continue;
        for (const TaskItem& item : doc->items) {
            UserRow row;
            row.itemId = item.id;
            row.box = new QCheckBox(QString::fromStdString(item.name), this);
            row.box->setObjectName(
                QStringLiteral("user%1_%2").arg(QString::fromStdString(m->id), QString::fromStdString(item.id)));
            row.box->setFont(ui::Skin::font(12));
            row.box->setToolTip(QString::fromStdString(item.url));
            row.box->setChecked(item.selected);
            row.box->setEnabled(m->box->isChecked());
            const std::string itemId = item.id;
            connect(row.box, &QCheckBox::clicked, this,
                    [this, m, itemId](bool on) { onUserItemClicked(*m, itemId, on); });
            row.remove = new ui::SkinButton(QStringLiteral("settings/delete"), QStringLiteral("删除"),
                                            ui::SkinButton::Style::Plain, this);
            row.remove->setObjectName(row.box->objectName() + QStringLiteral("_delete"));
            row.remove->setFont(ui::Skin::font(11));
            row.remove->setToolTip(QStringLiteral("删除“%1”").arg(row.box->text()));
            const std::string moduleId = m->id;
            connect(row.remove, &QAbstractButton::clicked, this,
                    [this, moduleId, itemId] { OnRemoveItem(moduleId, itemId); });
            row.box->show();
            row.remove->show();
            m->userRows.push_back(row);
        }
    }
}

void CBasicSettingDlg::relayout(int viewportHeight)
{
    const Module& web = *module(kModuleWebPage);
    const Module& download = *module(kModuleDownload);
    m_layout = SettingsLayout::compute(static_cast<int>(web.userRows.size()),
                                       static_cast<int>(download.userRows.size()), viewportHeight);
    const SettingsLayout& l = m_layout;
    const int row = SettingsLayout::kRow;
    resize(kPageWidth, l.height);
    for (std::size_t i = 0; i < m_headers.size(); ++i)
        m_headers[i]->setGeometry(16, l.sectionTop[i] + 2, kPageWidth - 32, row - 4);

    m_autoStart->setGeometry(24, l.sectionTop[0] + row, 370, row);
    m_manualFlag->setGeometry(24, l.sectionTop[0] + 2 * row, 370, row);
    m_autoFlag->setGeometry(24, l.sectionTop[0] + 3 * row, 370, row);
    m_metricsBox->setGeometry(24, l.metricsEndpoint, 370, row);

    m_shortfallBox->setGeometry(44, l.shortfallNotice, 350, row);
    {
        const int y = l.shortfallNotice + row;
        m_shortfallWords[0]->setGeometry(64, y, 32, row);
        m_shortfallCount->setGeometry(96, y + 3, 52, row - 6);
        m_shortfallWords[1]->setGeometry(154, y, 110, row);
        m_shortfallPercent->setGeometry(264, y + 3, 64, row - 6);
        m_shortfallWords[2]->setGeometry(334, y, 30, row);
    }
    const int moduleRows[] = {l.bandwidthModule, l.webModule, l.downloadModule, l.videoModule};
    const int itemRows[] = {0, l.webItems, l.downloadItems, l.videoItems};
    const int userRowsTop[] = {0, l.webUser, l.downloadUser, 0};
    for (std::size_t i = 0; i < m_modules.size(); ++i) {
        const Module& m = m_modules[i];
        m.box->setGeometry(24, moduleRows[i], 370, row);
        for (std::size_t k = 0; k < m.items.size(); ++k)
            m.items[k]->setGeometry(k % 2 ? kColumn2 : 44, itemRows[i] + static_cast<int>(k / 2) * row, 176, row);
        for (std::size_t k = 0; k < m.userRows.size(); ++k) {
            const int x = k % 2 ? kColumn2 : 44;
            const int y = userRowsTop[i] + static_cast<int>(k / 2) * row;
            m.userRows[k].box->setGeometry(x, y, 128, row);
            m.userRows[k].remove->setGeometry(x + 130, y + 4, 40, row - 8);
        }
    }
    button("addWeb")->setGeometry(44, l.webAdd + 3, 110, row - 6);
    button("addDownload")->setGeometry(44, l.downloadAdd + 3, 110, row - 6);

    const char* const sectionButtons[] = {"checkUpdate", "userPage", "bbsPage", "help", "about"};
    for (std::size_t i = 0; i < 5; ++i) {
        const int top = l.sectionTop[i + 2];
        m_notes[i]->setGeometry(24, top + row, 370, row);
        button(sectionButtons[i])->setGeometry(24, top + row + 34, 110, 30);
    }
    const QString version =
        QString::fromStdString(m_context.installedVersion ? m_context.installedVersion() : std::string());
    m_notes[4]->setText(QStringLiteral("Quorvane %1 · 宽带接入质量测速客户端").arg(version));
}

// --- boxes ------------------------------------------------------------------------

void CBasicSettingDlg::onItemClicked(Module& m, int position, bool checked)
{
    if (!WriteSelection(userId(), "item", std::to_string(position), checked, m.id)) {
        cannotSave(userSettingsPath(userId()));
        loadBoxes();
    }
}

void CBasicSettingDlg::onUserItemClicked(Module& m, const std::string& itemId, bool checked)
{
    // The user's own items live in the task document only.
    if (!WriteSelection(userId(), "item", itemId, checked, m.id, true)) {
        cannotSave(userTasksPath(userId()));
        loadUserRows();
        Q_EMIT rowsChanged();
    }
}

void CBasicSettingDlg::onModuleClicked(Module& m, bool checked)
{
    const std::string id = userId();
    bool ok = true;
    for (std::size_t k = 0; k < m.items.size(); ++k) {
        QCheckBox* box = m.items[k];
        box->setEnabled(checked);
        // Set again, the module takes the items as the boxes show them.
        if (checked && !box->isHidden())
            ok = WriteSelection(id, "item", std::to_string(k + 1), box->isChecked(), m.id) && ok;
    }
    bool userOk = true;
    for (UserRow& row : m.userRows) {
        row.box->setEnabled(checked);
        if (checked)
            userOk = WriteSelection(id, "item", row.itemId, row.box->isChecked(), m.id, true) && userOk;
    }
    ok = WriteSelection(id, "module", m.id, checked) && ok;
    if (!ok) {
        cannotSave(userSettingsPath(id));
        loadBoxes();
        for (UserRow& row : m.userRows)
            row.box->setEnabled(m.box->isChecked());
    } else if (!userOk) {
        cannotSave(userTasksPath(id));
    }
}

void CBasicSettingDlg::loadShortfall()
{
    const ShortfallSettings s = ReadShortfallSettings(userId());
    const QSignalBlocker b1(m_shortfallCount), b2(m_shortfallPercent);
    m_shortfallBox->setChecked(s.enabled);
    m_shortfallCount->setValue(s.count);
    m_shortfallPercent->setValue(s.percent);
}

void CBasicSettingDlg::onShortfallChanged()
{
    ShortfallSettings s;
    s.enabled = m_shortfallBox->isChecked();
    s.count = m_shortfallCount->value();
    s.percent = m_shortfallPercent->value();
    if (!WriteShortfallSettings(userId(), s)) {
        cannotSave(userSettingsPath(userId()));
        loadShortfall();
    }
}

// The box shows what the setting is after the attempt, not what was asked.
void CBasicSettingDlg::applySwitch(QCheckBox* box, bool checked, const std::function<bool(bool)>& set,
                                   const std::function<bool()>& isOn, const QString& failed)
{
    const bool done = set && set(checked);
    const bool now = isOn && isOn();
    box->setChecked(now);
    if (!done || now != checked)
        say(failed);
}

void CBasicSettingDlg::onAutoStartClicked(bool checked)
{
    applySwitch(m_autoStart, checked, m_context.setAutoStart, m_context.isAutoStart,
                checked ? QStringLiteral("无法写入自动启动项，开机时不会自动启动。")
                        : QStringLiteral("无法删除自动启动项，开机时仍会自动启动。"));
}

void CBasicSettingDlg::onMetricsClicked(bool checked)
{
    applySwitch(m_metricsBox, checked, m_context.setMetricsEndpoint, m_context.metricsEndpointOn,
                checked ? QStringLiteral("无法开启指标端口（端口被占用或无法保存设置），详见 logfile.txt。")
                        : QStringLiteral("无法保存指标端口的设置。"));
}

void CBasicSettingDlg::onFlagClicked(QCheckBox* box, const std::string& file, const char* key, bool checked)
{
    const char flag = checked ? '1' : '0';
    toggleFlagInPlace(file, key, flag);
    PropertyFile reread(file);
    reread.load();
    const bool now = reread.get(key) == "1";
    box->setChecked(now);
    if (now != checked)
        say(QStringLiteral("无法修改 %1 中的 %2，已恢复为文件中的设置。")
                .arg(QString::fromStdString(fileOf(file)), QString::fromLatin1(key)));
}

// --- user items -------------------------------------------------------------------

void CBasicSettingDlg::OnAddItem(const std::string& moduleId)
{
    CAddWebPer dialog(userId(), moduleId, this);
    if (m_context.dialogs->runAddItem(dialog) != QDialog::Accepted)
        return;
    loadUserRows();
    Q_EMIT rowsChanged();
}

void CBasicSettingDlg::OnRemoveItem(const std::string& moduleId, const std::string& itemId)
{
    Module* m = module(moduleId);
    if (!m)
        return;
    auto it =
        std::find_if(m->userRows.begin(), m->userRows.end(), [&](const UserRow& r) { return r.itemId == itemId; });
    if (it == m->userRows.end())
        return;
    if (m_context.dialogs->select(this, QStringLiteral("确定要删除“%1”吗？").arg(it->box->text()), false) != ui::kIdYes)
        return;
    if (!RemoveUserItem(userId(), moduleId, itemId))
        cannotSave(userTasksPath(userId()));
    loadUserRows();
    Q_EMIT rowsChanged();
}

// --- the other sections -----------------------------------------------------------

ui::Workers& CBasicSettingDlg::workers()
{
    if (m_context.workers)
        return *m_context.workers;
    if (!m_ownWorkers)
        m_ownWorkers = std::make_unique<ui::Workers>();
    return *m_ownWorkers;
}

void CBasicSettingDlg::OnCheckUpdate()
{
    if (m_checking)
        return;
    m_checking = true;
    ui::SkinButton* b = button("checkUpdate");
    b->setEnabled(false);
    update::ManifestFetch fetch = m_context.fetchManifest;
    workers().run<update::UpdateDecision>(
        this, [fetch] { return update::CheckForUpdate(fetch); },
        [this, b](const update::UpdateDecision& decision) {
            m_checking = false;
            b->setEnabled(true);
            updateDecided(decision);
            Q_EMIT updateCheckFinished();
        });
}

void CBasicSettingDlg::updateDecided(const update::UpdateDecision& decision)
{
    if (decision.upToDate) {
        std::error_code ec;
        std::filesystem::remove_all(programPath("tmp//"), ec);
        m_context.dialogs->warning(this, QStringLiteral("您的测速软件已经是最新版本！"));
        return;
    }
    // Velomark fetches the manifest again and says itself when that fails.
    std::error_code ec;
    if (!std::filesystem::exists(programPath("Velomark"), ec)) {
        m_context.dialogs->message(this, QStringLiteral("无法更新：安装目录中没有找到更新程序 Velomark。"));
        return;
    }
    if (!m_context.startProgram || !m_context.startProgram("Velomark", {}))
        m_context.dialogs->message(this, QStringLiteral("无法启动更新程序 Velomark。"));
}

void CBasicSettingDlg::OnPortalPage(const std::string& pageType)
{
    LoginService service = m_context.loginService();
    workers().run<LoginService::PortalPage>(
        this, [service, pageType]() mutable { return service.portalPage(pageType); },
        [this](const LoginService::PortalPage& page) {
            if (!page.url.empty())
                m_context.openUrl(page.url);
            else
                m_context.dialogs->message(this, QString::fromStdString(page.message));
        });
}

void CBasicSettingDlg::OnHelp()
{
    std::error_code ec;
    const std::filesystem::path help = std::filesystem::absolute(programPath("help\\index.html"), ec);
    if (ec || !std::filesystem::exists(help, ec)) {
        m_context.dialogs->message(this, QStringLiteral("找不到帮助文件 help/index.html。"));
        return;
    }
    m_context.openUrl(QUrl::fromLocalFile(QString::fromStdString(help.string())).toString().toStdString());
}

void CBasicSettingDlg::OnAbout()
{
    m_context.dialogs->about(
        this, QString::fromStdString(m_context.installedVersion ? m_context.installedVersion() : std::string()));
}

// --- the frame --------------------------------------------------------------------

CSettingsDlg::CSettingsDlg(const ShellContext& context, QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("CSettingsDlg"));
    for (int i = 0; i < 7; ++i) {
        auto* b = new ui::SkinButton(QStringLiteral("settings/menu%1").arg(i + 1),
                                     QString::fromUtf8(kMenuTitles[static_cast<std::size_t>(i)]),
                                     ui::SkinButton::Style::Tab, this);
        b->setObjectName(QStringLiteral("menu%1").arg(i + 1));
        b->setFont(ui::Skin::font(12));
        b->setGeometry(6, 12 + i * 42, kMenuWidth - 12, 36);
        connect(b, &QAbstractButton::clicked, this, [this, i] { OnMenuEntry(i + 1); });
        m_menu[static_cast<std::size_t>(i)] = b;
    }
    m_menu[0]->setSelected(true);

    m_viewport = new QWidget(this);
    m_viewport->setObjectName(QStringLiteral("viewport"));
    m_page = new CBasicSettingDlg(context, m_viewport);
    m_bar = new QScrollBar(Qt::Vertical, this);
    m_bar->setObjectName(QStringLiteral("scrollBar"));
    m_bar->setSingleStep(3);
    connect(m_bar, &QScrollBar::valueChanged, this, &CSettingsDlg::onScrolled);

    m_problemLine = new QLabel(this);
    m_problemLine->setObjectName(QStringLiteral("problem"));
    m_problemLine->setFont(ui::Skin::font(12));
    m_problemLine->setTextFormat(Qt::PlainText);
    m_problemLine->setStyleSheet(
        QStringLiteral("color: #d01b1b; background: #fff4e5; border-top: 1px solid #e8c9a0; padding: 2px 6px;"));
    m_problemLine->hide();
    connect(m_page, &CBasicSettingDlg::problem, this, [this](const QString& text) {
        m_problemLine->setText(text);
        m_problemLine->setToolTip(text);
        m_problemLine->setVisible(!text.isEmpty());
    });
    connect(m_page, &CBasicSettingDlg::rowsChanged, this, &CSettingsDlg::relayout);
    relayout();
}

void CSettingsDlg::OnInitDialog()
{
    m_page->OnInitDialog();
    relayout();
}

int CSettingsDlg::scrollPosition() const
{
    return m_bar->value();
}

int CSettingsDlg::maxScrollPosition() const
{
    return m_bar->maximum();
}

void CSettingsDlg::OnMenuEntry(int entry)
{
    entry = std::clamp(entry, 1, 7);
    m_current = entry;
    for (int i = 0; i < 7; ++i)
        m_menu[static_cast<std::size_t>(i)]->setSelected(i + 1 == entry);
    m_bar->setValue(menuScrollPosition(m_page->layout(), entry, m_bar->maximum()));
}

void CSettingsDlg::onScrolled(int position)
{
    m_page->move(0, -10 * position);
}

void CSettingsDlg::relayout()
{
    const int barWidth = 14;
    m_viewport->setGeometry(kMenuWidth, 0, width() - kMenuWidth - barWidth, height());
    m_bar->setGeometry(width() - barWidth, 0, barWidth, height());
    m_problemLine->setGeometry(kMenuWidth, height() - 26, width() - kMenuWidth - barWidth, 26);
    m_page->relayout(height());
    // Units of 10 pixels; the last unit may end a few pixels past the page.
    m_bar->setRange(0, std::max(0, (m_page->height() - height() + 9) / 10));
    m_bar->setPageStep(std::max(1, height() / 10));
    onScrolled(m_bar->value());
}

void CSettingsDlg::resizeEvent(QResizeEvent*)
{
    relayout();
}

void CSettingsDlg::wheelEvent(QWheelEvent* event)
{
    // One notch (120) moves three units, 30 pixels.
    const int units = -event->angleDelta().y() / 40;
    if (units != 0)
        m_bar->setValue(m_bar->value() + units);
    event->accept();
}

void CSettingsDlg::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), kPageColour);
    p.fillRect(QRect(0, 0, kMenuWidth, height()), QColor(0xdc, 0xea, 0xf7));
    const QPixmap background = ui::Skin::image(QStringLiteral("common/background"));
    if (!background.isNull())
        p.drawPixmap(rect(), background);
}

} // namespace quorvane
