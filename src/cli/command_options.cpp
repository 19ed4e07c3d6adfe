#include "cli/command_options.h"

#include <algorithm>

namespace quorvane::cli
{

CommandOptions ParseCommandOptions(const Args& args, const std::vector<std::string_view>& accepted)
{
    CommandOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool takes = std::find(accepted.begin(), accepted.end(), a) != accepted.end();
        if (!takes) {
            if (a.rfind("--", 0) == 0)
                o.error = "unknown option " + a;
            else
                o.positional.push_back(a);
            continue;
        }
        if (a == "--json" || a == "--auto" || a == "--stream") {
            (a == "--json" ? o.json : a == "--auto" ? o.automatic : o.stream) = true;
        } else if (i + 1 >= args.size()) {
            o.error = a + " needs a value";
        } else {
            (a == "--dir" ? o.dir : o.server) = args[++i];
        }
    }
    return o;
}

} // namespace quorvane::cli
