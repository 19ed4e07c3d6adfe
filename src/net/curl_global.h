#pragma once

namespace quorvane::net
{

// Initialises libcurl once per process; every libcurl client calls it before
// its first handle. Thread-safe. A process that has not chosen a SIGPIPE
// disposition gets SIGPIPE ignored: transfers run with CURLOPT_NOSIGNAL
// (required with threads), and a peer that closes early must not end the
// program.
void EnsureCurl();

} // namespace quorvane::net
