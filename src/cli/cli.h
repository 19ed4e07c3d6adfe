#pragma once
// quorvane-cli: one program, one subcommand per engine ("cipher", later
// "run", "results", ...). Each command is a plain function that reads its
// arguments and writes to the given streams, so tests call it directly.
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane
{
class CDataBase;
class SessionStore;
} // namespace quorvane

namespace quorvane::cli
{

using Args = std::vector<std::string>;

// Exit codes of every command.
enum ExitCode : int {
    kOk = 0,
    kFailed = 1, // the arguments were understood, the work failed (bad input data)
    kUsage = 2,  // the arguments were not understood; usage went to err
};

// One option as the command's help and the manual page describe it.
struct Option {
    std::string_view flag;    // "--server"
    std::string_view value;   // "NAME", empty for a switch
    std::string_view meaning; // one line
};

struct Command {
    std::string_view name;
    // One line per form, without the program name: "cipher encrypt TEXT".
    std::vector<std::pair<std::string_view, std::string_view>> forms; // form, what it does
    // Receives the arguments after the command name.
    int (*run)(const Args& args, std::ostream& out, std::ostream& err);
    // Every option the command's parser accepts; "--help" is implied.
    std::vector<Option> options;
    std::string_view succeeds; // when the exit status is 0
    std::string_view fails;    // when it is 1
    // The arguments after the first are data ("cipher encrypt -h" enciphers
    // "-h"), so only a first "--help" or "-h" asks for help.
    bool dataArguments = false;
};

// Every command the program knows, in the order the usage lists them.
const std::vector<Command>& commands();

void printUsage(std::ostream& out);

// Arguments not understood: "quorvane-cli: PROBLEM", the usage, kUsage.
int usageError(std::ostream& err, const std::string& problem);

// One command's synopsis, options and exit statuses, from commands().
void printCommandHelp(const Command& command, std::ostream& out);

// The manual page, in roff, from the same table as the help texts.
void printManPage(std::ostream& out);

// Runs the command named by args[0] (args without the program name).
// Unknown commands and missing arguments print the usage to err and give
// kUsage; "help", "-h" and "--help" print it to out and give kOk, as
// "help COMMAND" and "COMMAND --help" print that command's help.
int run(const Args& args, std::ostream& out, std::ostream& err);

// Commands, one function each (see commands()).
// "history [--json|--csv]": the user's history, newest first.
int runHistory(const Args& args, std::ostream& out, std::ostream& err);
// "metrics [--dir DIR] [--textfile FILE]": the figures in Prometheus's text format.
int runMetrics(const Args& args, std::ostream& out, std::ostream& err);
int runCipher(const Args& args, std::ostream& out, std::ostream& err);
// "login USER": the password is read from `in` (one line; not echoed when
// `in` is a terminal).
int runLogin(const Args& args, std::istream& in, std::ostream& out, std::ostream& err);
int runLoginFromStdin(const Args& args, std::ostream& out, std::ostream& err);
// "bandwidth [--server NAME] [--json]": the automatic bandwidth test.
int runBandwidth(const Args& args, std::ostream& out, std::ostream& err);
// "download URL [--json]": the file download measurement of one URL; no record.
int runDownload(const Args& args, std::ostream& out, std::ostream& err);
// "video PAGE-OR-STREAM-URL [--stream] [--json] [--dir DIR]": a video page
// resolved, its stream played and measured; no record.
int runVideo(const Args& args, std::ostream& out, std::ostream& err);
// "webpage URL [--json]": the first-screen measurement, off screen.
int runWebpage(const Args& args, std::ostream& out, std::ostream& err);
// "auto [--rounds N] [--json]": automatic rounds of the tests that need no
// display.
int runAuto(const Args& args, std::ostream& out, std::ostream& err);
// "check [--json] [--dir DIR]": the environment checks and the LAN sweep once.
int runCheck(const Args& args, std::ostream& out, std::ostream& err);

// Makes the installation folder `dir` (the program's own folder when empty)
// the working folder, where the configuration readers look; false, with the
// reason on `err`, when it cannot be entered.
bool enterInstallation(const std::string& dir, std::ostream& err);

// The silent login of the measuring commands, with the credentials `login`
// stored; true when `session` and `database` hold the user, false with the
// reason on `err`.
bool loginWithStoredCredentials(SessionStore& session, CDataBase& database, std::ostream& err);

} // namespace quorvane::cli
