#pragma once
// The reference service for the bandwidth test's integration tests: its test
// server on a loopback address of this process's own (so parallel test
// programs never meet on port 8080), an installation whose catalogue points
// every server there, and the web project on a free port.
#include "measure/support.h"
#include "service/harness.h"

#include <unistd.h>

#include <memory>
#include <regex>
#include <string>

namespace quorvane::test
{

inline std::string ownTestServerAddress()
{
    const long pid = ::getpid();
    return "127." + std::to_string(100 + pid % 100) + "." + std::to_string(pid / 100 % 250 + 1) + ".2";
}

struct ServiceInstallation {
    std::string address = ownTestServerAddress();
    Installation inst;
    std::unique_ptr<refsvc_test::RefService> service;

    explicit ServiceInstallation(const std::string& rateMbit = "40")
    {
        std::string dest = inst.read("Config/dest_config.xml");
        dest = std::regex_replace(dest, std::regex(R"(127\.0\.0\.[0-9]+:)"), address + ":");
        inst.write("Config/dest_config.xml", dest);
        service = std::make_unique<refsvc_test::RefService>(std::vector<std::string>{
            "--web", "127.0.0.1:0", "--update", "none", "--test-server", address + ":8080", "--rate-mbit", rateMbit});
        if (service->ok()) {
            const std::string port = std::to_string(service->web().port);
            inst.setConfig("web_project_port", port);
            inst.setConfig("web_project_port_null", port);
        }
    }
    bool keyMode(const std::string& mode) const { return service->control("/__control/key-mode?mode=" + mode); }
};

} // namespace quorvane::test
