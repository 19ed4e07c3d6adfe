#include "cli/check_command.h"

#include "cli/json_text.h"
#include "common/folder_check.h"
#include "common/number_locale.h"
#include "platform/executable.h"
#include "platform/icmp_socket.h"
#include "results/record.h"

#include <sstream>

namespace quorvane::cli
{
namespace
{

// The processor figure covers the time between two collections; a second
// gives it something to measure (a round has the time since its start).
constexpr auto kLoadWindow = std::chrono::seconds(1);

struct Row {
    std::string name;
    std::string figure;
    std::string limit;
    bool ok;
};

std::string percentText(long value)
{
    return value == CPerfQuery::kUnreadable ? "unreadable" : std::to_string(value) + "%";
}

std::optional<double> percentNumber(long value)
{
    if (value == CPerfQuery::kUnreadable)
        return std::nullopt;
    return static_cast<double>(value);
}

std::string okJson(bool ok)
{
    return std::string(",\"ok\":") + (ok ? "true" : "false");
}

std::string speedText(double kbps)
{
    return formatDecimal(kbps, 3) + " KB/s";
}

} // namespace

int runCheckWith(const Args& args, std::ostream& out, std::ostream& err,
                 SystemEnvironmentChecks::Environment environment, bool enterDirectory)
{
    bool json = false;
    std::string dir;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--dir" && i + 1 < args.size()) {
            dir = args[++i];
        } else {
            return usageError(err, "check takes --json and --dir DIR");
        }
    }
    // The limits are read from the installation's threshold document, and
    // the figures are logged to its auto.txt, as a round does.
    if (enterDirectory) {
        if (!enterInstallation(dir, err))
            return kFailed;
    }
    if (!environment.clock)
        environment.clock = systemClock();
    const auto clock = environment.clock;
    SystemEnvironmentChecks checks(std::move(environment));
    checks.CollectLoad();
    clock->sleepFor(kLoadWindow);
    const EnvironmentReport r = checks.Examine(true);
    const int machines = checks.CountOtherMachines();
    // The LAN count pings with whichever ICMP socket this user may open; with
    // neither it counts nobody, so say what it needs.
    const platform::IcmpOpenResult icmp = platform::openIcmpSocket();
    const char* icmpKind = !icmp.socket                                                ? "none"
                           : icmp.socket->framing() == platform::IcmpFraming::IpHeader ? "raw"
                                                                                       : "ping";
    const int code = r.code != 0 ? r.code : (machines > 0 ? 6 : 0);

    const bool antiVirusOk = r.antiVirus.value_or("").empty();
    const bool wirelessOk = r.wireless.value_or("").empty();
    const double down = r.downKBps.value_or(0), up = r.upKBps.value_or(0);
    const bool cpuOk = r.cpu <= r.cpuLimit, memoryOk = r.memory <= r.memoryLimit;
    const bool downOk = down <= r.downLimitKBps, upOk = up <= r.upLimitKBps;
    const std::string reason = rejectionReasonText(code, {r.cpuLimit, r.memoryLimit, r.downLimitKBps});
    // Rounds that cannot store their results are no better than rejected ones.
    const std::vector<FolderProblem> folders = checkWritableFolders(std::filesystem::current_path());
    const int exitCode = folders.empty() ? kOk : kFailed;
    for (const auto& f : folders)
        err << "quorvane-cli: folder " << f.folder << " cannot be written: " << f.reason << "\n";

    if (json) {
        out << "{\"cpu\":{\"percent\":" << jsonNumber(percentNumber(r.cpu), 0) << ",\"limit\":" << r.cpuLimit
            << okJson(cpuOk) << "},\"memory\":{\"percent\":" << jsonNumber(percentNumber(r.memory), 0)
            << ",\"limit\":" << r.memoryLimit << okJson(memoryOk)
            << "},\"antiVirus\":{\"running\":" << jsonString(r.antiVirus.value_or("")) << okJson(antiVirusOk)
            << "},\"wireless\":{\"interface\":" << jsonString(r.wireless.value_or("")) << okJson(wirelessOk)
            << "},\"download\":{\"kbps\":" << jsonNumber(down, 3) << ",\"limit\":" << r.downLimitKBps << okJson(downOk)
            << "},\"upload\":{\"kbps\":" << jsonNumber(up, 3) << ",\"limit\":" << r.upLimitKBps << okJson(upOk)
            << "},\"lan\":{\"machines\":" << machines << ",\"limit\":0" << okJson(machines == 0)
            << ",\"icmpSocket\":" << jsonString(icmpKind) << ",\"needs\":" << jsonString(icmp.failure)
            << "},\"code\":" << code << ",\"reason\":" << jsonString(reason) << ",\"unwritableFolders\":[";
        for (std::size_t i = 0; i < folders.size(); ++i)
            out << (i ? "," : "") << "{\"folder\":" << jsonString(folders[i].folder)
                << ",\"reason\":" << jsonString(folders[i].reason) << "}";
        out << "]}\n";
        return exitCode;
    }

    const Row rows[] = {
        {"processor load", percentText(r.cpu), std::to_string(r.cpuLimit) + "%", cpuOk},
        {"committed memory", percentText(r.memory), std::to_string(r.memoryLimit) + "%", memoryOk},
        {"anti-virus", antiVirusOk ? "none running" : *r.antiVirus + " running", "none", antiVirusOk},
        {"connection", wirelessOk ? "wired" : "wireless (" + *r.wireless + ")", "wired", wirelessOk},
        {"traffic down", speedText(down), std::to_string(r.downLimitKBps) + " KB/s", downOk},
        {"traffic up", speedText(up), std::to_string(r.upLimitKBps) + " KB/s", upOk},
        {"other machines", std::to_string(machines), "0", machines == 0},
    };
    for (const auto& row : rows) {
        std::ostringstream line;
        line << row.name << std::string(18 - row.name.size(), ' ') << row.figure;
        line << std::string(row.figure.size() < 22 ? 22 - row.figure.size() : 1, ' ') << "limit " << row.limit;
        const std::string text = line.str();
        out << text << std::string(text.size() < 56 ? 56 - text.size() : 1, ' ') << (row.ok ? "ok" : "rejects") << "\n";
    }
    out << "code " << code << (code == 0 ? " (fit to measure)" : " (" + reason + ")") << "\n";
    if (icmp.socket)
        out << "LAN count: pings through " << (std::string_view(icmpKind) == "raw" ? "a raw" : "an unprivileged")
            << " ICMP socket\n";
    else
        out << "LAN count: cannot ping, other machines are not counted: " << icmp.failure << "\n";
    for (const auto& f : folders)
        out << "folder " << f.folder << " cannot be written (" << f.reason << ")\n";
    if (folders.empty())
        out << "folders: the program folder, Data, Data2 and conf can be written\n";
    return exitCode;
}

int runCheck(const Args& args, std::ostream& out, std::ostream& err)
{
    return runCheckWith(args, out, err, {});
}

} // namespace quorvane::cli
