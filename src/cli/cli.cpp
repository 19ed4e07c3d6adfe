#include "cli/cli.h"
#include "platform/executable.h"

#include <algorithm>
#include <filesystem>

namespace quorvane::cli
{

namespace
{

constexpr Option kJson{"--json", "", "one JSON object on standard output; progress lines then go to standard error"};
constexpr Option kDir{"--dir", "DIR", "the installation folder to work in (default: the folder quorvane-cli lives in)"};
constexpr std::string_view kProgram = "quorvane-cli";
constexpr std::string_view kAbout =
    "The headless front end of Quorvane: it drives the same engines as Quorvane's windows, reads the same "
    "configuration and writes the same records, history lines and logs.";
constexpr std::string_view kBadArguments = "bad arguments: the reason and the usage go to standard error";
constexpr Option kHelp{"--help", "", "show this help (also -h)"};

bool isHelpFlag(std::string_view a)
{
    return a == "--help" || a == "-h";
}

std::string optionForm(const Option& option)
{
    std::string form(option.flag);
    if (!option.value.empty())
        form.append(" ").append(option.value);
    return form;
}

// roff takes a leading '.' or '\'' as a request and '\' as an escape.
std::string roff(std::string_view text)
{
    std::string escaped;
    for (const char c : text) {
        if (c == '\\')
            escaped += "\\e";
        else if (c == '-')
            escaped += "\\-";
        else
            escaped += c;
    }
    if (!escaped.empty() && (escaped.front() == '.' || escaped.front() == '\''))
        escaped.insert(0, "\\&");
    return escaped;
}

} // namespace

const std::vector<Command>& commands()
{
    static const std::vector<Command> all = {
        {"history",
         {{"history [--json|--csv] [--dir DIR] [--user ID]",
           "print the user's measurement history, newest first (DIR: the installation, default this program's "
           "folder; ID: default the stored user)"}},
         &runHistory,
         {{"--json", "", "one JSON array on standard output, one object per line"},
          {"--csv", "", "CSV as the history page exports it: UTF-8 with a byte-order mark, CR LF line ends"},
          kDir,
          {"--user", "ID", "the user whose history to print (default: the user last logged in here)"}},
         "the history was printed (only the titles, or [], when it is empty)",
         "nobody has logged in here and no --user was given, or the history cannot be read"},
        {"metrics",
         {{"metrics [--dir DIR] [--textfile FILE]",
           "print the latest result of each test and the counters of automatic rounds and uploads in Prometheus's "
           "text format"}},
         &runMetrics,
         {kDir,
          {"--textfile", "FILE",
           "write the metrics to FILE instead, whole or not at all (for node_exporter's textfile collector)"}},
         "the metrics were printed or written (figures that did not parse are counted, not fatal)",
         "FILE could not be written"},
        {"cipher",
         {{"cipher encrypt TEXT", "print the enciphered form of a configuration value (upper-case hex)"},
          {"cipher decrypt HEX", "print the plain text of an enciphered configuration value"}},
         &runCipher,
         {},
         "the value was printed",
         "HEX is not an enciphered value (a multiple of 16 hexadecimal digits)",
         true},
        {"login",
         {{"login USER [--dir DIR]", "log in (password from standard input) and store the credentials"}},
         &runLoginFromStdin,
         {kDir},
         "the service accepted the login and the credentials were stored",
         "the service refused or did not answer the login, or the folder cannot be used"},
        {"bandwidth",
         {{"bandwidth [--server NAME] [--auto] [--json] [--dir DIR]",
           "run the bandwidth test with the stored credentials, recorded as a manual result (--auto: as an "
           "automatic one)"}},
         &runBandwidth,
         {{"--server", "NAME",
           "test on the catalogue's server of this name (default: the one for the user's location)"},
          {"--auto", "", "count the run as automatic: the server is matched and the result recorded as a round's"},
          kJson,
          kDir},
         "both directions completed and the result was saved",
         "no stored credentials, the login failed, no server matched, the test did not complete or its result was "
         "not saved"},
        {"auto",
         {{"auto [--rounds N] [--json] [--dir DIR]",
           "run N automatic rounds (default 1) of the selected bandwidth and file download tests with the stored "
           "credentials, as the tray does: checks before each round, retries, 6 minutes between rounds, records "
           "and uploads, every step in auto.txt"}},
         &runAuto,
         {{"--rounds", "N", "run N rounds, 1 to 100000 (default 1), 6 minutes apart"}, kJson, kDir},
         "at least one round started and every result was saved",
         "no round started, the login failed, or a record could not be written"},
        {"download",
         {{"download URL [--json]",
           "download one file as the file download test does: size, connect and load time, bytes and speed, "
           "a line a second"}},
         &runDownload,
         {kJson},
         "the size was known and body bytes arrived (perhaps cut short)",
         "the URL was refused, the size was not known, or no byte of the body arrived"},
        {"webpage",
         {{"webpage URL [--json]", "measure the page's first-screen time in an off-screen browser (no record)"}},
         &runWebpage,
         {kJson},
         "the page loaded",
         "the address was refused or the page did not load"},
        {"check",
         {{"check [--json] [--dir DIR]",
           "run the checks an automatic round makes before measuring (load, anti-virus, wireless, adapter traffic "
           "over 5 s, other machines on the LAN) and print each figure beside its limit and the resulting code"}},
         &runCheck,
         {kJson, kDir},
         "the checks ran, whatever they found",
         "the folder cannot be used, or a folder of the installation cannot be written"},
        {"video",
         {{"video PAGE-OR-STREAM-URL [--stream] [--json] [--dir DIR]",
           "resolve a video site's page to its stream (--stream: play the address itself) and measure it with the "
           "built-in player: maximum and average speed (KB/s), time to first byte and total time (ms), total and "
           "loaded size (bytes)"}},
         &runVideo,
         {{"--stream", "", "play the address as it stands instead of resolving a video site's page"}, kJson, kDir},
         "the stream loaded completely",
         "a site page resolved to nothing, or the stream did not load completely"},
    };
    return all;
}

void printUsage(std::ostream& out)
{
    out << "Usage: quorvane-cli COMMAND [ARGUMENTS]\n\nCommands:\n";
    constexpr std::string_view helpForm = "help [COMMAND]";
    std::size_t width = helpForm.size();
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
    line(helpForm, "show this text, or one command's options and exit statuses (also COMMAND --help)");
    out << "\nExit status: 0 done, 1 failed (for example a malformed value), 2 bad arguments;\n"
           "\"quorvane-cli help COMMAND\" says when each command gives which.\n";
}

void printCommandHelp(const Command& command, std::ostream& out)
{
    out << "Usage:\n";
    for (const auto& [form, text] : command.forms)
        out << "  " << kProgram << ' ' << form << "\n      " << text << '\n';
    std::vector<Option> options = command.options;
    options.push_back(kHelp);
    std::size_t width = 0;
    for (const auto& option : options)
        width = std::max(width, optionForm(option).size());
    out << "\nOptions:\n";
    for (const auto& option : options) {
        const std::string form = optionForm(option);
        out << "  " << form << std::string(width - form.size() + 2, ' ') << option.meaning << '\n';
    }
    out << "\nExit status:\n  0  " << command.succeeds << "\n  1  " << command.fails << "\n  2  " << kBadArguments
        << '\n';
}

void printManPage(std::ostream& out)
{
    out << ".TH QUORVANE\\-CLI 1 \"\" \"Quorvane\" \"User Commands\"\n"
        << ".SH NAME\n"
        << "quorvane\\-cli \\- measure an Internet line without a display\n"
        << ".SH SYNOPSIS\n"
        << ".B quorvane\\-cli\n.I COMMAND\n.RI [ ARGUMENTS ]\n.br\n"
        << ".B quorvane\\-cli help\n.RI [ COMMAND ]\n.br\n"
        << ".B quorvane\\-cli\n.I COMMAND\n.B \\-\\-help\n"
        << ".SH DESCRIPTION\n"
        << roff(kAbout) << '\n'
        << ".SH COMMANDS\n";
    for (const auto& command : commands()) {
        out << ".SS " << roff(command.name) << '\n';
        for (const auto& [form, text] : command.forms)
            out << ".TP\n.B " << roff(kProgram) << ' ' << roff(form) << '\n' << roff(text) << '\n';
        if (!command.options.empty()) {
            out << ".PP\nOptions:\n.RS\n";
            for (const auto& option : command.options) {
                if (option.value.empty())
                    out << ".TP\n.B " << roff(option.flag) << '\n';
                else
                    out << ".TP\n.BI \"" << roff(option.flag) << " \" " << roff(option.value) << '\n';
                out << roff(option.meaning) << '\n';
            }
            out << ".RE\n";
        }
        out << ".PP\nExit 0 when " << roff(command.succeeds) << "; 1 when " << roff(command.fails) << ".\n";
    }
    out << ".SH EXIT STATUS\n"
        << ".TP\n.B 0\ndone\n"
        << ".TP\n.B 1\nfailed: the arguments were understood, the work failed\n"
        << ".TP\n.B 2\n"
        << roff(kBadArguments) << '\n';
}

int usageError(std::ostream& err, const std::string& problem)
{
    err << "quorvane-cli: " << problem << "\n\n";
    printUsage(err);
    return kUsage;
}

int run(const Args& args, std::ostream& out, std::ostream& err)
{
    if (args.empty()) {
        printUsage(err);
        return kUsage;
    }
    const std::string& name = args.front();
    if (name == "--man" && args.size() == 1) {
        printManPage(out);
        return kOk;
    }
    const bool help = name == "help" || isHelpFlag(name);
    if (help && args.size() == 1) {
        printUsage(out);
        return kOk;
    }
    const std::string& wanted = help ? args[1] : name;
    for (const auto& command : commands()) {
        if (command.name != wanted)
            continue;
        const Args rest(args.begin() + 1, args.end());
        const auto searched = command.dataArguments ? rest.begin() + std::min<std::size_t>(rest.size(), 1) : rest.end();
        if (help || std::any_of(rest.begin(), searched, isHelpFlag)) {
            if (help && args.size() > 2)
                return usageError(err, "help takes one command name");
            printCommandHelp(command, out);
            return kOk;
        }
        return command.run(rest, out, err);
    }
    return usageError(err, "unknown command \"" + wanted + "\"");
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
