#include "behaviour.h"

#include <cstdlib>
#include <vector>

namespace refsvc
{

namespace
{

std::vector<std::string> ownNames(SwitchKind kind)
{
    switch (kind) {
    case SwitchKind::Login:
        return {"normal", "false", "repsd"};
    case SwitchKind::Key:
        return {"1", "0", "2"};
    case SwitchKind::PortalKey:
        return {"normal", "empty"};
    case SwitchKind::Clock:
        return {"normal", "error", "redirect", "nodate"};
    }
    return {};
}

} // namespace

std::optional<Mode> parseMode(SwitchKind kind, const std::string& text, std::string* why)
{
    const auto names = ownNames(kind);
    for (const auto& n : names)
        if (text == n)
            return Mode{text, 0};
    if (text == "garbage" || text == "close")
        return Mode{text, 0};
    if (text == "delay")
        return Mode{text, kDefaultDelayMs};
    if (text.rfind("delay:", 0) == 0) {
        const std::string digits = text.substr(6);
        char* end = nullptr;
        const long ms = std::strtol(digits.c_str(), &end, 10);
        // An hour is far past any client time-out; more is a typing error.
        if (!digits.empty() && *end == '\0' && ms >= 0 && ms <= 3600 * 1000)
            return Mode{"delay", static_cast<int>(ms)};
    }
    if (why) {
        std::string list;
        for (const auto& n : names)
            list += n + ", ";
        *why = "unknown mode \"" + text + "\" (expected " + list + "garbage, close, delay[:MS])";
    }
    return std::nullopt;
}

bool ModeSwitch::set(const std::string& text, std::string* why)
{
    auto mode = parseMode(m_kind, text, why);
    if (!mode)
        return false;
    std::lock_guard lock(m_mutex);
    m_mode = *mode;
    return true;
}

} // namespace refsvc
