#include "app/shell/login_dlg.h"

#include "app/pages/shell_dialogs.h"
#include "ui/busy_indicator.h"
#include "ui/skin.h"
#include "ui/workers.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>

namespace quorvane
{
namespace
{
constexpr int kWidth = 380;
constexpr int kHeight = 280;
constexpr int kHeaderHeight = 93; // the top third drags the window

QString fieldStyle()
{
    return QStringLiteral("QLineEdit { border: 1px solid #9db6d3; border-radius: 3px; padding: 0 6px;"
                          " background: white; color: #333; }"
                          "QLineEdit:focus { border-color: #2b86e0; }");
}
} // namespace

CLoginDlg::CLoginDlg(const ShellContext& context, const QString& userName, const QString& password, QWidget* parent)
    : ui::SkinDialog(parent), m_context(context)
{
    setObjectName(QStringLiteral("CLoginDlg"));
    setWindowTitle(QStringLiteral("Quorvane 登录"));
    setWindowFlag(Qt::WindowStaysOnTopHint);
    setBackgroundImage(QStringLiteral("login/bg"));
    setHeaderHeight(kHeaderHeight);
    setDragHeight(kHeaderHeight);
    setCornerRadius(8);
    setFixedSize(kWidth, kHeight);

    auto* logo = new QLabel(QStringLiteral("Quorvane"), this);
    logo->setFont(ui::Skin::font(26, true));
    logo->setStyleSheet(QStringLiteral("color: white;"));
    logo->setGeometry(24, 22, 240, 36);
    auto* slogan = new QLabel(QStringLiteral("宽带质量测速客户端"), this);
    slogan->setFont(ui::Skin::font(13));
    slogan->setStyleSheet(QStringLiteral("color: #dce9f8;"));
    slogan->setGeometry(26, 58, 240, 22);

    auto* minimise =
        new ui::SkinButton(QStringLiteral("login/min"), QStringLiteral("–"), ui::SkinButton::Style::Header, this);
    minimise->setObjectName(QStringLiteral("minimise"));
    minimise->setToolTip(QStringLiteral("最小化到托盘"));
    minimise->setGeometry(kWidth - 64, 4, 28, 24);
    connect(minimise, &QAbstractButton::clicked, this, [this] {
        Q_EMIT credentialsTyped(this->userName(), this->password());
        done(kResultToTray);
    });
    auto* close =
        new ui::SkinButton(QStringLiteral("login/close"), QStringLiteral("×"), ui::SkinButton::Style::Header, this);
    close->setObjectName(QStringLiteral("close"));
    close->setToolTip(QStringLiteral("关闭"));
    close->setGeometry(kWidth - 34, 4, 28, 24);
    connect(close, &QAbstractButton::clicked, this, [this] { done(kResultExit); });

    auto addCaption = [this](const QString& text, int y) {
        auto* label = new QLabel(text, this);
        label->setFont(ui::Skin::font(13));
        label->setStyleSheet(QStringLiteral("color: #555;"));
        label->setGeometry(40, y, 60, 30);
    };
    addCaption(QStringLiteral("账号"), 110);
    addCaption(QStringLiteral("密码"), 150);

    m_user = new QLineEdit(userName, this);
    m_user->setObjectName(QStringLiteral("user"));
    m_user->setToolTip(QStringLiteral("请输入用户名或邮箱"));
    m_user->setPlaceholderText(QStringLiteral("用户名或邮箱"));
    m_user->setGeometry(96, 110, 190, 30);
    m_password = new QLineEdit(password, this);
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setToolTip(QStringLiteral("请输入密码"));
    m_password->setPlaceholderText(QStringLiteral("密码"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setGeometry(96, 150, 190, 30);
    for (QLineEdit* field : {m_user, m_password}) {
        field->setFont(ui::Skin::font(13));
        field->setStyleSheet(fieldStyle());
    }

    auto* registerLink = new ui::LinkLabel(QStringLiteral("注册账号"), this);
    registerLink->setObjectName(QStringLiteral("register"));
    registerLink->setGeometry(296, 114, 70, 22);
    connect(registerLink, &ui::LinkLabel::clicked, this, &CLoginDlg::OpenRegisterPage);
    auto* forgotLink = new ui::LinkLabel(QStringLiteral("忘记密码"), this);
    forgotLink->setObjectName(QStringLiteral("forgot"));
    forgotLink->setGeometry(296, 154, 70, 22);
    connect(forgotLink, &ui::LinkLabel::clicked, this, &CLoginDlg::OpenForgotPasswordPage);

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setTextFormat(Qt::PlainText);
    m_message->setFont(ui::Skin::font(12));
    m_message->setAlignment(Qt::AlignCenter);
    m_message->setStyleSheet(QStringLiteral("color: #d01b1b;"));
    m_message->setGeometry(20, 186, kWidth - 40, 22);

    m_loginButton =
        new ui::SkinButton(QStringLiteral("login/login"), QStringLiteral("登录"), ui::SkinButton::Style::Primary, this);
    m_loginButton->setObjectName(QStringLiteral("login"));
    m_loginButton->setGeometry(96, 214, 190, 36);
    connect(m_loginButton, &QAbstractButton::clicked, this, &CLoginDlg::RunLogin);

    m_busy = new ui::BusyIndicator(QStringLiteral("login/loading"), this);
    m_busy->setObjectName(QStringLiteral("busy"));
    m_busy->setGeometry(96, 214, 190, 36);
    m_busy->hide();
}

CLoginDlg::~CLoginDlg() = default;

QString CLoginDlg::userName() const
{
    return m_user->text();
}

QString CLoginDlg::password() const
{
    return m_password->text();
}

QString CLoginDlg::messageText() const
{
    return m_message->text();
}

void CLoginDlg::setMessage(const QString& text)
{
    m_message->setText(text);
}

void CLoginDlg::setBusy(bool busy)
{
    m_running = busy;
    m_loginButton->setVisible(!busy);
    m_busy->setVisible(busy);
}

void CLoginDlg::RunLogin()
{
    if (m_running)
        return; // the button is hidden while a login runs; Enter is not
    setMessage(QString());
    Q_EMIT credentialsTyped(userName(), password());
    setBusy(true);

    const std::string user = userName().toStdString();
    const std::string pass = password().toStdString();
    LoginService service = m_context.loginService();
    if (!m_context.workers) {
        m_ownWorkers = std::make_unique<ui::Workers>();
        m_context.workers = m_ownWorkers.get();
    }
    m_context.workers->run<LoginService::Result>(
        this, [service, user, pass]() mutable { return service.runLogin(user, pass); },
        [this](const LoginService::Result& r) { onWorkerDone(r); });
}

void CLoginDlg::onWorkerDone(const LoginService::Result& result)
{
    setMessage(QString::fromStdString(result.message));
    if (result.outcome == LoginService::Outcome::PasswordReset) {
        m_context.dialogs->select(this, QString::fromUtf8(login_text::kPasswordReset), true);
    }
    setBusy(false);
    Q_EMIT attemptEnded(static_cast<int>(result.outcome));
    if (result.outcome == LoginService::Outcome::LoggedIn)
        done(kResultLoggedIn); // WM_LOGIN_DONE
}

void CLoginDlg::OpenRegisterPage()
{
    m_context.openUrl(m_context.loginService().registerPageUrl());
}

void CLoginDlg::OpenForgotPasswordPage()
{
    m_context.openUrl(m_context.loginService().forgotPasswordPageUrl());
}

void CLoginDlg::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        RunLogin();
        return;
    case Qt::Key_Escape:
        return; // swallowed: Escape must not end the window
    default:
        ui::SkinDialog::keyPressEvent(event);
    }
}

void CLoginDlg::reject()
{
    // Only the window's own buttons end it.
}

void CLoginDlg::closeEvent(QCloseEvent* event)
{
    // Closed by the window manager: the same as the close button.
    event->ignore();
    done(kResultExit);
}

void CLoginDlg::showEvent(QShowEvent* event)
{
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    ui::SkinDialog::showEvent(event);
}

} // namespace quorvane
