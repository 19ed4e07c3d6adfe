#include "cli/cli.h"

#include "metrics/metrics.h"
#include "platform/executable.h"

#include <filesystem>

namespace quorvane::cli
{

int runMetrics(const Args& args, std::ostream& out, std::ostream& err)
{
    std::filesystem::path dir;
    std::filesystem::path textfile;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--dir" && i + 1 < args.size() && dir.empty()) {
            dir = args[++i];
        } else if (args[i] == "--textfile" && i + 1 < args.size() && textfile.empty()) {
            textfile = args[++i];
        } else {
            return usageError(err, "metrics takes --dir DIR and --textfile FILE, each at most once");
        }
    }
    if (dir.empty())
        dir = platform::currentExecutableDirectory();
    if (textfile.empty()) {
        out << metrics::metricsText(dir);
        return kOk;
    }
    if (!metrics::writeTextfile(dir, textfile)) {
        err << "quorvane-cli: cannot write " << textfile.string() << '\n';
        return kFailed;
    }
    return kOk;
}

} // namespace quorvane::cli
