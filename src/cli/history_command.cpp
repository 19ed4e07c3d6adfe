#include "cli/cli.h"

#include "common/paths.h"
#include "common/property_file.h"
#include "config/readers.h"
#include "measure/bandwidth_test.h"
#include "platform/executable.h"
#include "platform/network_adapters.h"
#include "results/history.h"
#include "results/history_table.h"

#include <filesystem>
#include <fstream>

namespace quorvane::cli
{

int runHistory(const Args& args, std::ostream& out, std::ostream& err)
{
    enum class Format { Text, Json, Csv } format = Format::Text;
    std::filesystem::path dir;
    std::string user;
    bool userGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json" && format == Format::Text) {
            format = Format::Json;
        } else if (a == "--csv" && format == Format::Text) {
            format = Format::Csv;
        } else if (a == "--dir" && i + 1 < args.size()) {
            dir = args[++i];
        } else if (a == "--user" && i + 1 < args.size()) {
            user = args[++i];
            userGiven = true;
        } else {
            return usageError(err, "history takes at most one of --json and --csv, and --dir DIR, --user ID");
        }
    }
    // The program directory is where quorvane-cli is installed, beside Quorvane.
    if (dir.empty())
        dir = platform::currentExecutableDirectory();
    if (!userGiven) {
        PropertyFile login(programPath(dir, "conf\\l_c_config_01.properties").string());
        login.load();
        user = login.get("userid");
        if (user == PropertyFile::kNull) {
            err << "quorvane-cli: no user has logged in here yet (no userid in conf/l_c_config_01.properties); "
                   "give --user ID\n";
            return kFailed;
        }
    }
    const std::filesystem::path file = historyFilePath(dir, user);
    std::error_code ec;
    if (std::filesystem::exists(file, ec) && !std::ifstream(file)) {
        err << "quorvane-cli: cannot read " << file.string() << '\n';
        return kFailed;
    }
    const auto rows = newestFirst(historyRows(ReadHistoryFile(file)));
    switch (format) {
    case Format::Json: {
        // Judged against the contract picked on this machine, as the history
        // page does.
        std::vector<std::pair<std::string, std::string>> choices;
        ReadContractBandwidthsFrom((dir / userSettingsPath(user)).string(), choices);
        const auto contract =
            measure::ReadChosenContract(dir, platform::LinuxNetworkAdapters().firstMacAddress(), choices);
        out << historyJson(rows, contract ? std::optional<double>(contract->mbit) : std::nullopt);
        break;
    }
    case Format::Csv:
        out << historyCsv(rows);
        break;
    case Format::Text:
        out << historyText(rows);
        break;
    }
    return kOk;
}

} // namespace quorvane::cli
