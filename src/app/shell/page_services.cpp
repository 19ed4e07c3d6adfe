#include "app/shell/program_context.h"
#include "platform/autostart.h"
#include "platform/executable.h"
#include "update/update_check.h"

namespace quorvane
{

void addPageServices(ShellContext& c)
{
    c.startProgram = c.startHidden; // a program with a window shows it on its own
    c.isAutoStart = [] { return platform::XdgAutoStart().isEnabled(); };
    c.setAutoStart = [](bool on) {
        platform::XdgAutoStart entry;
        if (on)
            return entry.enable(platform::autostartProgram()) && entry.isEnabled();
        return entry.disable();
    };
    c.fetchManifest = update::defaultManifestFetch();
}

} // namespace quorvane
