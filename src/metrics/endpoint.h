#pragma once
// The tray program's optional /metrics endpoint: an HTTP server of the
// Prometheus client library serving FilesCollectable, and its settings in
// conf/config.properties:
//   metrics_endpoint=true|false   off unless "true"
//   metrics_port=9469             the port
//   metrics_address=127.0.0.1     only when the user writes another address
//
// Thread-safety: one thread (the window thread) starts and stops an
// endpoint; scrapes run on the library's own threads.
#include <filesystem>
#include <memory>
#include <string>

namespace prometheus
{
class Exposer;
}

namespace quorvane::metrics
{

class FilesCollectable;

inline constexpr int kDefaultPort = 9469;

struct EndpointConfig {
    bool enabled = false;
    std::string address = "127.0.0.1";
    int port = kDefaultPort; // 0: any free port (tests)
};

// The settings from <installDir>/conf/config.properties; a missing file or
// key, or a port outside 0..65535, gives the default.
EndpointConfig readEndpointConfig(const std::filesystem::path& installDir);

// Stores the switch (the port and address are left as they are). False when
// the file could not be written.
bool saveEndpointEnabled(const std::filesystem::path& installDir, bool enabled);

class MetricsEndpoint
{
public:
    explicit MetricsEndpoint(std::filesystem::path installDir);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Listens on address:port (a running endpoint is stopped first). False
    // with error() set when the port is taken or the address unusable.
    bool start(const std::string& address, int port);
    // start() with the settings when they switch it on, else stop(). True
    // when the endpoint now runs as the settings say.
    bool apply(const EndpointConfig& config);
    void stop();

    bool running() const { return m_exposer != nullptr; }
    // The port it listens on (the one the system chose for port 0); 0 when stopped.
    int port() const { return m_port; }
    const std::string& error() const { return m_error; }

private:
    std::filesystem::path m_installDir;
    std::shared_ptr<FilesCollectable> m_collectable;
    std::unique_ptr<prometheus::Exposer> m_exposer;
    int m_port = 0;
    std::string m_error;
};

} // namespace quorvane::metrics
