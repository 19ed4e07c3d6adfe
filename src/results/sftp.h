#pragma once
// The built-in SFTP client of the upload runs (libssh).
//
// The target's host, port (22 when empty), user name and password are used;
// its `dir` is entered as "." followed by `dir`, i.e. relative to the login
// directory ("/up" gives "./up", "" the login directory itself).
//
// The server's host key is checked against `knownHostsFile` (OpenSSH
// format; the installation ships the collection servers' keys in
// conf/known_hosts). A server whose key is not there is refused before the
// password is sent, unless first-use trust is on: then its key is
// remembered. A key that differs from the remembered one is always refused.
// Both are logged; the user name never is.
//
// An archive is stored under a hidden temporary name beside its own and
// renamed only once the server reports the whole size, so a collector never
// picks up a partial archive.
#include "results/result_log.h"
#include "results/upload.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <sys/types.h>

struct sftp_file_struct;

namespace quorvane
{

// One write step: as sftp_write, returns the bytes the server took (maybe
// fewer than asked), or a negative count on failure.
using SftpWriter = std::function<ssize_t(sftp_file_struct* file, const void* data, std::size_t size)>;

struct SftpOptions {
    std::filesystem::path knownHostsFile; // conf/known_hosts of the installation
    std::chrono::seconds timeout{60};     // per network operation
    ResultLog log;                        // host key events
    // Trust and remember the key of a server that knownHostsFile does not
    // know yet. Off by default: a stranger could otherwise pose as the
    // collection server and receive its password.
    bool trustOnFirstUse = false;
    SftpWriter write; // empty: sftp_write
};

// The key of conf/config.properties that turns first-use trust on ("true").
inline constexpr const char* kTrustOnFirstUseKey = "upload_trust_on_first_use";

// The options of the installation in `installDir`: its conf/known_hosts and
// the first-use setting of its conf/config.properties (off unless "true").
SftpOptions installationSftpOptions(const std::filesystem::path& installDir, ResultLog log);

// One SFTP connection; see ArchiveTransport. Not shared between threads.
std::unique_ptr<ArchiveTransport> makeSftpTransport(const SftpOptions& options);

// A factory for UploadRunner.
TransportFactory sftpTransportFactory(SftpOptions options);

} // namespace quorvane
