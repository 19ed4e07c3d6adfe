#pragma once
// What the bandwidth page needs besides the shell's services: the test
// engine's settings and the results path it hands its records to. Every
// member left empty takes the program's real one, so the program sets
// nothing and a test replaces only what it must (transfers, pings, upload).
#include "measure/bandwidth_test.h"
#include "results/service_time.h"
#include "results/upload.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace quorvane
{

struct NetworkSpeedServices {
    // The engine's settings; the page sets their installDir to the program
    // directory when it is left at ".".
    measure::BandwidthTestSettings engine;
    // The upload of packed records; null: SFTP with host keys remembered in
    // conf/known_hosts.
    TransportFactory transport;
    // The service's clock for record times; null: the HEAD request to the
    // portal.
    HeadDateFunction head;
    // Province names of Config/province_config.xml; null: ReadProvinces.
    std::function<std::vector<std::string>()> knownProvinces;
    // The (id, label) contracted-bandwidth choices of a user; null:
    // ReadContractBandwidths.
    std::function<std::vector<std::pair<std::string, std::string>>(const std::string& userId)> contractBandwidths;
};

} // namespace quorvane
