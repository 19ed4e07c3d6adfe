#include "app/startup.h"

int main(int argc, char** argv)
{
    return quorvane::runQuorvane(argc, argv);
}
