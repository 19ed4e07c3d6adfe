#pragma once
// The HTTP library does not hand its sockets to request handlers. A few
// answers need the connection itself, found by its two end points, which
// name it uniquely within the process.
#include <string>

namespace refsvc
{

struct ConnectionEnds {
    std::string localAddr;
    int localPort = 0;
    std::string peerAddr;
    int peerPort = 0;
};

// Shuts down (both directions) the connection, so that its peer sees it
// closed without an answer. The socket itself stays open for its owner,
// which then fails to write and closes it. False when it was not found.
bool dropConnection(const ConnectionEnds& ends);

// Fixes the connection's receive buffer at about `bytes` (switching off the
// kernel's growth of it). False when it was not found.
bool limitReceiveBuffer(const ConnectionEnds& ends, int bytes);

} // namespace refsvc
