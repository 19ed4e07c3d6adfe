#pragma once
// "quorvane-cli check": the checks an automatic round makes before it
// measures, run once, with every figure beside its limit, so a user can see
// why rounds are rejected.
#include "autotest/system_environment.h"
#include "cli/cli.h"

namespace quorvane::cli
{

// runCheck with the checks reading through `environment` (tests hand in fake
// trees, a fake clock and a LAN count of their own). Works in the current
// directory when `enterDirectory` is false.
int runCheckWith(const Args& args, std::ostream& out, std::ostream& err,
                 SystemEnvironmentChecks::Environment environment, bool enterDirectory = true);

} // namespace quorvane::cli
