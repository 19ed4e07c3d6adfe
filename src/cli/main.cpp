#include "cli/cli.h"
#include "common/number_locale.h"

#include <iostream>

int main(int argc, char** argv)
{
    quorvane::pinNumericLocale();
    const quorvane::cli::Args args(argc > 0 ? argv + 1 : argv, argv + argc);
    return quorvane::cli::run(args, std::cout, std::cerr);
}
