#pragma once
// What the web page test's page needs from outside. Every member left empty
// takes the program's real one, so the program sets nothing and a test
// replaces only what it must.
#include "measure/random_source.h"
#include "results/service_time.h"
#include "results/upload.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class QWidget;
class QString;

namespace quorvane
{

struct WebpageServices {
    // Is there a network at all (the automatic start); null: IsNetworkAlive.
    std::function<bool()> networkAlive;
    // Can the portal's host be reached (before a portal page button); the
    // answer comes through `done`, on the window thread. Null: a TCP connect
    // to the address's host and port, given up after 3 s.
    std::function<void(const std::string& url, std::function<void(bool reachable)> done)> checkConnection;
    // The configured sites of an automatic run for a user; null: module "2"
    // of the settings document, plus the user's own sites when it is selected.
    std::function<std::vector<std::string>(const std::string& userId)> autoSites;
    // The automatic pick; null: the C generator seeded with the time.
    measure::RandomSource random;
    // Shows the result window modally; null: CWebResultDlg.
    std::function<void(QWidget* parent, const QString& text)> showResult;
    // The measurement's bound; zero: 10 s.
    std::chrono::milliseconds bound{0};
    // Upload of packed records and the clock for record times; null: the real ones.
    TransportFactory transport;
    HeadDateFunction head;
};

} // namespace quorvane
