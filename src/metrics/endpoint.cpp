#include "metrics/endpoint.h"

#include "common/paths.h"
#include "common/property_file.h"
#include "metrics/metrics.h"

#include <prometheus/exposer.h>

#include <charconv>

namespace quorvane::metrics
{

namespace
{

std::string configPath(const std::filesystem::path& installDir)
{
    return programPath(installDir, "conf\\config.properties").string();
}

} // namespace

EndpointConfig readEndpointConfig(const std::filesystem::path& installDir)
{
    PropertyFile file(configPath(installDir));
    file.load();
    EndpointConfig config;
    config.enabled = file.get("metrics_endpoint") == "true";
    const std::string port = file.get("metrics_port");
    int value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec == std::errc() && end == port.data() + port.size() && value >= 0 && value <= 65535)
        config.port = value;
    const std::string address = file.get("metrics_address");
    if (address != PropertyFile::kNull && !address.empty())
        config.address = address;
    return config;
}

bool saveEndpointEnabled(const std::filesystem::path& installDir, bool enabled)
{
    PropertyFile file(configPath(installDir));
    file.load();
    const char* value = enabled ? "true" : "false";
    if (file.get("metrics_endpoint") == PropertyFile::kNull)
        file.add("metrics_endpoint", value);
    else
        file.set("metrics_endpoint", value);
    return file.save(false);
}

MetricsEndpoint::MetricsEndpoint(std::filesystem::path installDir)
    : m_installDir(std::move(installDir)), m_collectable(std::make_shared<FilesCollectable>(m_installDir))
{
}

MetricsEndpoint::~MetricsEndpoint()
{
    stop();
}

bool MetricsEndpoint::start(const std::string& address, int port)
{
    stop();
    m_error.clear();
    // An IPv6 address goes in brackets before the port.
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    try {
        auto exposer = std::make_unique<prometheus::Exposer>(host + ":" + std::to_string(port), 1);
        const std::vector<int> ports = exposer->GetListeningPorts();
        if (ports.empty()) {
            m_error = "no listening port on " + host + ":" + std::to_string(port);
            return false;
        }
        exposer->RegisterCollectable(m_collectable);
        m_port = ports.front();
        m_exposer = std::move(exposer);
        return true;
    } catch (const std::exception& e) {
        m_error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + e.what();
        return false;
    }
}

bool MetricsEndpoint::apply(const EndpointConfig& config)
{
    if (!config.enabled) {
        stop();
        return true;
    }
    return start(config.address, config.port);
}

void MetricsEndpoint::stop()
{
    m_exposer.reset();
    m_port = 0;
}

} // namespace quorvane::metrics
