#pragma once
// The built-in SFTP client of the upload runs (libssh).
//
// The target's host, port (22 when empty), user name and password are used;
// its `dir` is entered as "." followed by `dir`, i.e. relative to the login
// directory ("/up" gives "./up", "" the login directory itself).
//
// The server's host key is checked against `knownHostsFile` (OpenSSH
// format): the first key a host shows is remembered there, a different key
// later makes open() fail, and both are logged.
#include "results/result_log.h"
#include "results/upload.h"

#include <chrono>
#include <filesystem>
#include <memory>

namespace quorvane
{

struct SftpOptions {
    std::filesystem::path knownHostsFile; // conf/known_hosts of the installation
    std::chrono::seconds timeout{60};     // per network operation
    ResultLog log;                        // host key events
};

// One SFTP connection; see ArchiveTransport. Not shared between threads.
std::unique_ptr<ArchiveTransport> makeSftpTransport(const SftpOptions& options);

// A factory for UploadRunner.
TransportFactory sftpTransportFactory(SftpOptions options);

} // namespace quorvane
