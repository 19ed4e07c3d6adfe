#pragma once
// The machine's network adapters as far as the programs need them.
#include <array>
#include <cstdint>
#include <string>

namespace quorvane::platform
{

// Six address bytes as "%02X-%02X-%02X-%02X-%02X-%02X".
std::string formatMacAddress(const std::array<std::uint8_t, 6>& bytes);

class NetworkAdapters
{
public:
    virtual ~NetworkAdapters() = default;
    // The hardware address of the first adapter (in the system's order) that
    // is not a loopback and has a six-byte, non-zero hardware address,
    // formatted as above; empty when there is none.
    virtual std::string firstMacAddress() const = 0;
};

class LinuxNetworkAdapters final : public NetworkAdapters
{
public:
    std::string firstMacAddress() const override;
};

} // namespace quorvane::platform
