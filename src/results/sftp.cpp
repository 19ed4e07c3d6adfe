#include "results/sftp.h"

#include "common/durable_file.h"
#include "common/property_file.h"

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <algorithm>
#include <charconv>
#include <fcntl.h>
#include <mutex>
#include <system_error>
#include <utility>

namespace quorvane
{

namespace
{

// libssh keeps each sftp_write within one SSH packet window; larger writes
// have cut connections.
constexpr std::size_t kWriteChunk = 64 * 1024;

// The known-hosts file is shared by the main and the regional run.
std::mutex& knownHostsMutex()
{
    static std::mutex mutex;
    return mutex;
}

const char* sftpErrorText(int code)
{
    switch (code) {
    case SSH_FX_OK:
        return "ok";
    case SSH_FX_EOF:
        return "end of file";
    case SSH_FX_NO_SUCH_FILE:
        return "no such file";
    case SSH_FX_PERMISSION_DENIED:
        return "permission denied";
    case SSH_FX_FAILURE:
        return "failure (disk full?)";
    case SSH_FX_BAD_MESSAGE:
        return "bad message";
    case SSH_FX_NO_CONNECTION:
        return "no connection";
    case SSH_FX_CONNECTION_LOST:
        return "connection lost";
    default:
        return "error";
    }
}

class SftpTransport final : public ArchiveTransport
{
public:
    explicit SftpTransport(SftpOptions options) : m_options(std::move(options)) {}

    ~SftpTransport() override
    {
        if (m_sftp)
            sftp_free(m_sftp);
        if (m_ssh) {
            ssh_disconnect(m_ssh);
            ssh_free(m_ssh);
        }
    }

    bool open(const UploadTarget& target, std::string& error) override
    {
        if (target.host.empty()) {
            error = "no server configured";
            return false;
        }
        int port = 22;
        if (!target.port.empty()) {
            const char* first = target.port.data();
            const char* last = first + target.port.size();
            const auto [end, ec] = std::from_chars(first, last, port);
            if (ec != std::errc() || end != last || port < 1 || port > 65535) {
                error = "bad port \"" + target.port + "\"";
                return false;
            }
        }
        if (target.username.empty()) {
            error = "no user name configured";
            return false;
        }
        m_where = target.host + ":" + std::to_string(port);

        m_ssh = ssh_new();
        if (!m_ssh) {
            error = "out of memory";
            return false;
        }
        const long timeout = static_cast<long>(m_options.timeout.count());
        const int noDelay = 1;
        const bool processConfig = false;
        const std::string knownHosts = std::filesystem::absolute(m_options.knownHostsFile).string();
        ssh_options_set(m_ssh, SSH_OPTIONS_HOST, target.host.c_str());
        ssh_options_set(m_ssh, SSH_OPTIONS_PORT, &port);
        ssh_options_set(m_ssh, SSH_OPTIONS_USER, target.username.c_str());
        ssh_options_set(m_ssh, SSH_OPTIONS_TIMEOUT, &timeout);
        // Without it every small packet waits for the peer's delayed ack.
        ssh_options_set(m_ssh, SSH_OPTIONS_NODELAY, &noDelay);
        // The user's own ssh configuration has no say over the upload.
        ssh_options_set(m_ssh, SSH_OPTIONS_PROCESS_CONFIG, &processConfig);
        ssh_options_set(m_ssh, SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str());
        ssh_options_set(m_ssh, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, knownHosts.c_str());

        if (ssh_connect(m_ssh) != SSH_OK) {
            error = "cannot connect to " + m_where + ": " + ssh_get_error(m_ssh);
            return false;
        }
        if (!checkHostKey(error))
            return false;
        if (!authenticate(target, error))
            return false;

        m_sftp = sftp_new(m_ssh);
        if (!m_sftp || sftp_init(m_sftp) != SSH_OK) {
            error = std::string("no sftp service on ") + m_where + ": " + ssh_get_error(m_ssh);
            return false;
        }
        m_dir = "." + target.dir;
        sftp_attributes attributes = sftp_stat(m_sftp, m_dir.c_str());
        const bool isDirectory = attributes && attributes->type == SSH_FILEXFER_TYPE_DIRECTORY;
        if (attributes)
            sftp_attributes_free(attributes);
        if (!isDirectory) {
            error = "no directory \"" + m_dir + "\" on " + m_where;
            return false;
        }
        return true;
    }

    bool put(const std::string& name, const std::string& bytes, std::string& error) override
    {
        const std::string path = m_dir + "/" + name;
        // Hidden and without the archive suffix: no collector takes it.
        const std::string temp = m_dir + "/." + name + ".part";
        sftp_file file = sftp_open(m_sftp, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!file) {
            error = "cannot create on server: " + lastError();
            return false;
        }
        bool ok = true;
        for (std::size_t done = 0; ok && done < bytes.size();) {
            const std::size_t n = std::min(kWriteChunk, bytes.size() - done);
            const ssize_t written = m_options.write ? m_options.write(file, bytes.data() + done, n)
                                                    : sftp_write(file, bytes.data() + done, n);
            // Servers may take less than asked; only no progress is a failure.
            if (written <= 0 || static_cast<std::size_t>(written) > n) {
                error = "write failed: " + lastError();
                ok = false;
                break;
            }
            done += static_cast<std::size_t>(written);
        }
        if (sftp_close(file) != SSH_NO_ERROR && ok) {
            error = "close failed: " + lastError();
            ok = false;
        }
        if (ok) {
            // The server's own account of the file decides, not ours.
            sftp_attributes attributes = sftp_stat(m_sftp, temp.c_str());
            if (!attributes) {
                error = "cannot check the stored file: " + lastError();
                ok = false;
            } else {
                if (attributes->size != bytes.size()) {
                    error = "server holds " + std::to_string(attributes->size) + " of " + std::to_string(bytes.size()) +
                            " bytes";
                    ok = false;
                }
                sftp_attributes_free(attributes);
            }
        }
        if (ok && sftp_rename(m_sftp, temp.c_str(), path.c_str()) != SSH_OK) {
            // A plain SFTP rename refuses an existing name: an archive sent
            // before a crash kept us from deleting it here. The new file is
            // the same archive or holds more.
            sftp_unlink(m_sftp, path.c_str());
            if (sftp_rename(m_sftp, temp.c_str(), path.c_str()) != SSH_OK) {
                error = "cannot rename the stored file: " + lastError();
                ok = false;
            }
        }
        // A cut-off archive must not stay on the server.
        if (!ok && ssh_is_connected(m_ssh))
            sftp_unlink(m_sftp, temp.c_str());
        return ok;
    }

private:
    std::string lastError()
    {
        const int code = m_sftp ? sftp_get_error(m_sftp) : SSH_FX_OK;
        std::string text = sftpErrorText(code);
        if (code == SSH_FX_OK || code == SSH_FX_CONNECTION_LOST || code == SSH_FX_NO_CONNECTION ||
            !ssh_is_connected(m_ssh))
            text += std::string(" (") + ssh_get_error(m_ssh) + ")";
        return text;
    }

    void log(const std::string& message)
    {
        if (m_options.log)
            m_options.log(message);
    }

    bool checkHostKey(std::string& error)
    {
        ssh_key key = nullptr;
        if (ssh_get_server_publickey(m_ssh, &key) != SSH_OK) {
            error = "no host key from " + m_where;
            return false;
        }
        unsigned char* hash = nullptr;
        std::size_t hashLength = 0;
        std::string fingerprint = "?";
        if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLength) == SSH_OK) {
            if (char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLength)) {
                fingerprint = text;
                ssh_string_free_char(text);
            }
            ssh_clean_pubkey_hash(&hash);
        }
        ssh_key_free(key);

        std::lock_guard guard(knownHostsMutex());
        switch (ssh_session_is_known_server(m_ssh)) {
        case SSH_KNOWN_HOSTS_OK:
            return true;
        case SSH_KNOWN_HOSTS_NOT_FOUND:
        case SSH_KNOWN_HOSTS_UNKNOWN: {
            if (!m_options.trustOnFirstUse) {
                error = "host key of " + m_where + " is not known (" + fingerprint +
                        "); upload refused until conf/known_hosts holds it";
                log(error);
                return false;
            }
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::absolute(m_options.knownHostsFile).parent_path(), ec);
            if (ssh_session_update_known_hosts(m_ssh) != SSH_OK) {
                error = "cannot remember the host key of " + m_where + ": " + ssh_get_error(m_ssh);
                log(error);
                return false;
            }
            // The trusted keys are the owner's business alone.
            restrictToOwner(std::filesystem::absolute(m_options.knownHostsFile));
            log("host key of " + m_where + " trusted on first use and remembered: " + fingerprint);
            return true;
        }
        case SSH_KNOWN_HOSTS_CHANGED:
        case SSH_KNOWN_HOSTS_OTHER:
            error = "host key of " + m_where + " has changed (now " + fingerprint + "); upload refused";
            log(error);
            return false;
        case SSH_KNOWN_HOSTS_ERROR:
            break;
        }
        error = "cannot check the host key of " + m_where + ": " + ssh_get_error(m_ssh);
        log(error);
        return false;
    }

    bool authenticate(const UploadTarget& target, std::string& error)
    {
        if (ssh_userauth_password(m_ssh, nullptr, target.password.c_str()) == SSH_AUTH_SUCCESS)
            return true;
        // Servers that ask for the password through keyboard-interactive.
        const int methods = ssh_userauth_list(m_ssh, nullptr);
        if (methods & SSH_AUTH_METHOD_INTERACTIVE) {
            int rc = ssh_userauth_kbdint(m_ssh, nullptr, nullptr);
            for (int round = 0; rc == SSH_AUTH_INFO && round < 4; ++round) {
                const int prompts = ssh_userauth_kbdint_getnprompts(m_ssh);
                for (int i = 0; i < prompts; ++i)
                    ssh_userauth_kbdint_setanswer(m_ssh, static_cast<unsigned>(i), target.password.c_str());
                rc = ssh_userauth_kbdint(m_ssh, nullptr, nullptr);
            }
            if (rc == SSH_AUTH_SUCCESS)
                return true;
        }
        // The user name stays out of logs: it is half of the credentials.
        error = "login refused on " + m_where;
        return false;
    }

    SftpOptions m_options;
    ssh_session m_ssh = nullptr;
    sftp_session m_sftp = nullptr;
    std::string m_where;
    std::string m_dir;
};

} // namespace

std::unique_ptr<ArchiveTransport> makeSftpTransport(const SftpOptions& options)
{
    return std::make_unique<SftpTransport>(options);
}

SftpOptions installationSftpOptions(const std::filesystem::path& installDir, ResultLog log)
{
    SftpOptions options;
    options.knownHostsFile = installDir / "conf" / "known_hosts";
    options.log = std::move(log);
    PropertyFile config((installDir / "conf" / "config.properties").string());
    config.load();
    options.trustOnFirstUse = config.get(kTrustOnFirstUseKey) == "true";
    return options;
}

TransportFactory sftpTransportFactory(SftpOptions options)
{
    return [options = std::move(options)] { return makeSftpTransport(options); };
}

} // namespace quorvane
