#pragma once
// The command line run in this process, with what it printed.
#include "cli/cli.h"

#include <sstream>
#include <string>

namespace quorvane::test
{

struct CliResult {
    int code;
    std::string out;
    std::string err;
};

inline CliResult runCli(const cli::Args& args)
{
    std::ostringstream out;
    std::ostringstream err;
    const int code = cli::run(args, out, err);
    return {code, out.str(), err.str()};
}

} // namespace quorvane::test
