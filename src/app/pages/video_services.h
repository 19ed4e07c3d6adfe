#pragma once
// What the video pages need from outside. Every member left empty takes the
// program's real one, so the program sets nothing and a test replaces only
// what it must.
#include "measure/stream_player.h"
#include "measure/video_test.h"
#include "results/service_time.h"
#include "results/upload.h"

#include <functional>
#include <string>
#include <vector>

namespace quorvane
{

struct VideoServices {
    // The player page's engine: network, automatic pages, random pick and
    // the resolver of the automatic start.
    measure::VideoTestSettings engine;
    // The player's download, limits and clock.
    measure::StreamPlayerSettings player;
    // Can the address's host be reached (buttons, address page); the answer
    // comes through `done`, on the window thread. Null: a TCP connect to the
    // address's host and port, given up after 3 s.
    std::function<void(const std::string& url, std::function<void(bool reachable)> done)> checkConnection;
    // A preset page to its stream address (on a worker thread, blocking it);
    // null: the site resolvers.
    std::function<std::string(const std::string& pageUrl)> resolve;
    // The address page's conversion to every stream address (on a worker
    // thread); null: the site resolvers in the conversion's label order.
    std::function<std::vector<std::string>(const std::string& pageUrl)> convert;
    // Whether the player shows the picture; null: when the platform has a
    // display and Qt Multimedia decodes MPEG-4. Measuring never needs it.
    std::function<bool()> playbackAvailable;
    // Upload of packed records and the clock for record times; null: the real ones.
    TransportFactory transport;
    HeadDateFunction head;
};

} // namespace quorvane
