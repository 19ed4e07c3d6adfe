#pragma once
// A program directory, a canned web project and scripted message windows for
// the shell's window tests.
#include "app/conf_fixture.h"
#include "app/fake_web.h"
#include "app/pages/shell_context.h"
#include "app/pages/shell_dialogs.h"
#include "app/shell/stop_speed_dlg.h"
#include "support/qt_app.h"
#include "ui/message_dialogs.h"

#include <QString>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace quorvane::testing
{

// Records every message window and answers it from a script.
class ScriptedDialogs : public ShellDialogs
{
public:
    struct Shown {
        std::string kind; // "select", "confirm", "message", "warning", "hint", "login", "add", "about"
        QString text;
    };

    std::vector<Shown> shown;
    std::deque<int> selectAnswers;                        // default: kIdYes
    bool hintAnswer = false;                              // ask to stop hints?
    std::deque<std::function<int(CLoginDlg&)>> logins;    // default: close (exit)
    std::deque<std::function<int(CAddWebPer&)>> addItems; // default: cancel

    int select(QWidget*, const QString& text, bool confirmOnly) override
    {
        shown.push_back({confirmOnly ? "confirm" : "select", text});
        if (confirmOnly || selectAnswers.empty())
            return ui::kIdYes;
        const int a = selectAnswers.front();
        selectAnswers.pop_front();
        return a;
    }
    void message(QWidget*, const QString& text) override { shown.push_back({"message", text}); }
    void warning(QWidget*, const QString& text) override { shown.push_back({"warning", text}); }
    std::function<void()> onHint; // sees the program as the hint finds it
    bool showHint(QWidget*) override
    {
        shown.push_back({"hint", {}});
        if (onHint)
            onHint();
        return hintAnswer;
    }
    int runLogin(CLoginDlg& dialog) override;
    int runAddItem(CAddWebPer& dialog) override;
    std::deque<std::function<int(CStopSpeedDlg&)>> stopDialogs; // default: continue
    int runStopSpeed(CStopSpeedDlg& dialog) override
    {
        shown.push_back({"stop", {}});
        if (stopDialogs.empty())
            return 0;
        auto script = std::move(stopDialogs.front());
        stopDialogs.pop_front();
        return script(dialog);
    }
    void about(QWidget*, const QString& version) override { shown.push_back({"about", version}); }

    std::vector<QString> texts(const std::string& kind) const
    {
        std::vector<QString> out;
        for (const Shown& s : shown)
            if (s.kind == kind)
                out.push_back(s.text);
        return out;
    }
};

class ShellTest : public ProgramDirTest
{
protected:
    void SetUp() override
    {
        ProgramDirTest::SetUp();
        qtApp();
        context.http = web.function();
        context.session = &session;
        context.database = &database;
        context.dialogs = &dialogs;
        context.openUrl = [this](const std::string& url) { opened.push_back(url); };
        context.endProcess = [this](int code) { endedWith.push_back(code); };
        context.startHidden = [this](const std::string& program, const std::vector<std::string>& args) {
            std::string line = program;
            for (const std::string& a : args)
                line += " " + a;
            started.push_back(line);
            return true;
        };
        context.installedVersion = [] { return std::string("2.1.0"); };
        context.firstAdapterMac = [] { return std::string("52-54-00-12-34-56"); };
        context.hintSuppressed = [this](const std::string&) { return hintSuppressed; };
        context.suppressHint = [this](const std::string& id) { suppressedFor.push_back(id); };
        context.historySaving = [this](const std::string&) { return historySaving; };
        context.historyFile = [](const std::string& id) { return "HistoryRecord/HistoryRecord" + id + ".txt"; };
        context.trayAvailable = [this] { return trayAvailable; };
    }

    FakeWeb web;
    SessionStore session;
    CDataBase database;
    ScriptedDialogs dialogs;
    ShellContext context;
    std::vector<std::string> opened;
    std::vector<int> endedWith;
    std::vector<std::string> started;
    std::vector<std::string> suppressedFor;
    bool hintSuppressed = true;
    bool historySaving = true;
    bool trayAvailable = true;
};

} // namespace quorvane::testing
