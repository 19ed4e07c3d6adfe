#pragma once
// One running copy per program name and user session, and the hand-over of a
// second start to the copy that runs.
//
// A running instance holds an exclusive lock on "<key>.lock" in the user's
// runtime folder for its whole life (the kernel drops it when the process
// ends, however it ends) and, while its main window exists, accepts
// activation messages on the local socket "<key>.sock" beside it. A second
// start finds the lock taken, sends one message to the socket and ends.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QLocalServer;

namespace quorvane::platform
{

// What a second start asks of the running instance: either a window message
// posted to its main window, or to bring that window to the front.
struct ActivationMessage {
    enum class Kind { PostMessage, BringToFront };
    Kind kind = Kind::BringToFront;
    int message = 0;
    long long wParam = 0;
    long long lParam = 0;

    static ActivationMessage post(int message, long long wParam, long long lParam)
    {
        return {Kind::PostMessage, message, wParam, lParam};
    }
    static ActivationMessage bringToFront() { return {}; }
    bool operator==(const ActivationMessage&) const = default;
};

// The wire form is one text line ("post 1174 128 515" or "foreground"),
// without the line end. Decoding accepts exactly what encoding produces.
std::string encodeActivation(const ActivationMessage& message);
std::optional<ActivationMessage> decodeActivation(std::string_view line);

// The folder where the lock and socket of this user live: $XDG_RUNTIME_DIR
// when it names a folder of ours that nobody else may enter, otherwise
// /tmp/quorvane-<uid>, created private on first use. Nothing when neither
// can be had safely (a foreign or open folder is never used).
std::optional<std::filesystem::path> userRuntimeDirectory();

// A file-name-safe key for an instance name: bytes other than letters,
// digits, '.', '_' and '-' (and a leading '.') are written as %XX, so two
// different names never share a key; the user id is appended, so two users
// sharing /tmp never meet. Very long names are shortened with a hash to keep
// the socket path within the system's limit.
std::string instanceKey(std::string_view instanceName, unsigned uid);

class SingleInstance
{
public:
    virtual ~SingleInstance() = default;

    // True when no other instance of the name is running; this object then
    // keeps the claim until it is destroyed or the process ends. Also true
    // when the claim cannot be checked at all (no usable runtime folder), so
    // a broken environment never stops the program from starting.
    virtual bool claim() = 0;

    // Gives the message to the running instance and waits, at most
    // timeoutMs, for its acknowledgement. False when nobody accepted it (the
    // other instance is still starting or already ending).
    virtual bool activateRunning(const ActivationMessage& message, int timeoutMs) = 0;

    // Starts accepting activation messages. The handler runs on the calling
    // thread, which must run a Qt event loop, once per accepted message,
    // before the sender gets its acknowledgement; it must not block. Only
    // after claim() returned true.
    virtual bool acceptActivations(std::function<void(const ActivationMessage&)> handler) = 0;
    virtual void stopAccepting() = 0;
};

class LocalSingleInstance final : public SingleInstance
{
public:
    // Lock and socket in userRuntimeDirectory().
    explicit LocalSingleInstance(std::string instanceName);
    // Lock and socket in the given folder (tests use a folder of their own).
    LocalSingleInstance(std::string instanceName, std::optional<std::filesystem::path> runtimeDirectory);
    ~LocalSingleInstance() override;
    LocalSingleInstance(const LocalSingleInstance&) = delete;
    LocalSingleInstance& operator=(const LocalSingleInstance&) = delete;

    bool claim() override;
    bool activateRunning(const ActivationMessage& message, int timeoutMs) override;
    bool acceptActivations(std::function<void(const ActivationMessage&)> handler) override;
    void stopAccepting() override;

    std::filesystem::path lockFile() const;
    std::filesystem::path socketFile() const;

private:
    std::string m_name;
    std::optional<std::filesystem::path> m_dir;
    int m_lockFd = -1;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace quorvane::platform
