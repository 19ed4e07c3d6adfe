#pragma once
// Whether the machine has a network connection at all: an interface that is
// up and carries an address other than loopback.
namespace quorvane::platform
{

bool IsNetworkAlive();

} // namespace quorvane::platform
