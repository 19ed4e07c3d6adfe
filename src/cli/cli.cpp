#include "cli/cli.h"
#include "platform/executable.h"

#include <algorithm>
#include <filesystem>

namespace quorvane::cli
{

const std::vector<Command>& commands()
{
    static const std::vector<Command> all = {
        {"history",
         {{"history [--json|--csv] [--dir DIR] [--user ID]",
           "print the user's measurement history, newest first (DIR: the installation, default this program's "
           "folder; ID: default the stored user)"}},
         &runHistory},
        {"cipher",
         {{"cipher encrypt TEXT", "print the enciphered form of a configuration value (upper-case hex)"},
          {"cipher decrypt HEX", "print the plain text of an enciphered configuration value"}},
         &runCipher},
        {"login",
         {{"login USER [--dir DIR]", "log in (password from standard input) and store the credentials"}},
         &runLoginFromStdin},
        {"bandwidth",
         {{"bandwidth [--server NAME] [--auto] [--json] [--dir DIR]",
           "run the bandwidth test with the stored credentials, recorded as a manual result (--auto: as an "
           "automatic one); exit 0 when both directions completed"}},
         &runBandwidth},
        {"auto",
         {{"auto [--rounds N] [--json] [--dir DIR]",
           "run N automatic rounds (default 1) of the selected bandwidth and file download tests with the stored "
           "credentials, as the tray does: checks before each round, retries, 6 minutes between rounds, records "
           "and uploads, every step in auto.txt; exit 0 when a round ran"}},
         &runAuto},
        {"download",
         {{"download URL [--json]",
           "download one file as the file download test does: size, connect and load time, bytes and speed, "
           "a line a second; exit 0 when the size was known and body bytes arrived (perhaps cut short)"}},
         &runDownload},
        {"webpage",
         {{"webpage URL [--json]",
           "measure the page's first-screen time in an off-screen browser (no record); exit 0 when it loaded"}},
         &runWebpage},
        {"check",
         {{"check [--json] [--dir DIR]",
           "run the checks an automatic round makes before measuring (load, anti-virus, wireless, adapter traffic "
           "over 5 s, other machines on the LAN) and print each figure beside its limit and the resulting code"}},
         &runCheck},
        {"video",
         {{"video PAGE-OR-STREAM-URL [--stream] [--json] [--dir DIR]",
           "resolve a video site's page to its stream (--stream: play the address itself) and measure it with the "
           "built-in player: maximum and average speed (KB/s), time to first byte and total time (ms), total and "
           "loaded size (bytes); exit 0 when the stream loaded completely"}},
         &runVideo},
    };
    return all;
}

void printUsage(std::ostream& out)
{
    out << "Usage: quorvane-cli COMMAND [ARGUMENTS]\n\nCommands:\n";
    std::size_t width = std::string_view("help").size();
    for (const auto& command : commands()) {
        for (const auto& form : command.forms)
            width = std::max(width, form.first.size());
    }
    auto line = [&](std::string_view form, std::string_view text) {
        out << "  " << form << std::string(width - form.size() + 2, ' ') << text << '\n';
    };
    for (const auto& command : commands()) {
        for (const auto& [form, text] : command.forms)
            line(form, text);
    }
    line("help", "show this text");
    out << "\nExit status: 0 done, 1 failed (for example a malformed value), 2 bad arguments.\n";
}

int run(const Args& args, std::ostream& out, std::ostream& err)
{
    if (args.empty()) {
        printUsage(err);
        return kUsage;
    }
    const std::string& name = args.front();
    if (name == "help" || name == "-h" || name == "--help") {
        printUsage(out);
        return kOk;
    }
    for (const auto& command : commands()) {
        if (command.name == name)
            return command.run(Args(args.begin() + 1, args.end()), out, err);
    }
    err << "quorvane-cli: unknown command \"" << name << "\"\n\n";
    printUsage(err);
    return kUsage;
}

// Commands work in the installation folder, as the programs do: the readers
// of the configuration look there.
bool enterInstallation(const std::string& dir, std::ostream& err)
{
    std::filesystem::path target = dir.empty() ? platform::currentExecutableDirectory() : std::filesystem::path(dir);
    std::error_code ec;
    std::filesystem::current_path(target, ec);
    if (ec) {
        err << "quorvane-cli: cannot use the installation folder " << target << ": " << ec.message() << "\n";
        return false;
    }
    return true;
}

} // namespace quorvane::cli
