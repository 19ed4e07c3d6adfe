#include "cli/cli.h"

#include <iostream>

int main(int argc, char** argv)
{
    const quorvane::cli::Args args(argc > 0 ? argv + 1 : argv, argv + argc);
    return quorvane::cli::run(args, std::cout, std::cerr);
}
