#include "app/shell/startup.h"

int main(int argc, char** argv)
{
    quorvane::CQuorvaneApp app(argc, argv);
    app.InitInstance();
    return app.exitCode();
}
