#pragma once
// Switchable answers: a test or a developer makes one kind of request answer
// wrongly (refused, garbled, dropped, late) to watch how the clients cope.
#include <mutex>
#include <optional>
#include <string>

namespace refsvc
{

enum class SwitchKind { Login, Key, PortalKey, Clock };

struct Mode {
    // Kind-specific names ("normal", "false", "repsd", "1", "0", "2",
    // "empty", "error", "redirect", "nodate") or one of the common faults
    // "garbage", "close", "delay".
    std::string name;
    int delayMs = 0; // only for "delay"
};

constexpr int kDefaultDelayMs = 40000;

// Parses "normal", "delay", "delay:2500", ... for the kind; on failure the
// optional is empty and *why (when given) says what is accepted.
std::optional<Mode> parseMode(SwitchKind kind, const std::string& text, std::string* why = nullptr);

// The current mode of one kind. Thread-safe.
class ModeSwitch
{
public:
    ModeSwitch(SwitchKind kind, Mode initial) : m_kind(kind), m_mode(std::move(initial)) {}

    Mode get() const
    {
        std::lock_guard lock(m_mutex);
        return m_mode;
    }
    // False (and no change) when the text is not a mode of this kind.
    bool set(const std::string& text, std::string* why = nullptr);

private:
    const SwitchKind m_kind;
    mutable std::mutex m_mutex;
    Mode m_mode;
};

} // namespace refsvc
