#pragma once
// The options the measuring commands share, read the same way by each: a
// command names those it takes, anything else that starts with "--" is an
// unknown option.
#include "cli/cli.h"

#include <string>
#include <string_view>
#include <vector>

namespace quorvane::cli
{

struct CommandOptions {
    std::vector<std::string> positional;
    std::string dir;        // --dir DIR
    std::string server;     // --server NAME
    bool json = false;      // --json
    bool automatic = false; // --auto
    bool stream = false;    // --stream
    std::string error;      // "unknown option --x", "--dir needs a value"; empty when all was understood
};

CommandOptions ParseCommandOptions(const Args& args, const std::vector<std::string_view>& accepted);

} // namespace quorvane::cli
