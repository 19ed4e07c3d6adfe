#pragma once
#include <string>

namespace refsvc
{

// Shuts down (both directions) the TCP connection of this process whose
// local and peer end points are the given ones, so that its peer sees the
// connection closed without an answer. The socket itself stays open for its
// owner, which then fails to write and closes it. Returns false when no such
// connection was found.
bool dropConnection(const std::string& localAddr, int localPort, const std::string& peerAddr, int peerPort);

} // namespace refsvc
