#include "results/contract_share.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace quorvane
{
namespace
{

constexpr double kBitsPerProgramMb = 1048576.0;
constexpr double kBitsPerContractMbit = 1000000.0;

bool consume(std::string_view& s, std::string_view prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != static_cast<unsigned char>(prefix[i]))
            return false;
    s.remove_prefix(prefix.size());
    return true;
}

void trim(std::string_view& s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
}

} // namespace

std::optional<double> ContractRateMbit(std::string_view label)
{
    trim(label);
    std::size_t digits = 0;
    bool point = false;
    while (digits < label.size()) {
        const char c = label[digits];
        if (c == '.' && !point && digits > 0)
            point = true;
        else if (c < '0' || c > '9')
            break;
        ++digits;
    }
    if (digits == 0 || label[digits - 1] == '.')
        return std::nullopt;
    const double number = std::strtod(std::string(label.substr(0, digits)).c_str(), nullptr);
    std::string_view rest = label.substr(digits);
    trim(rest);
    double scale = 1;
    if (consume(rest, "k"))
        scale = 0.001;
    else if (consume(rest, "g"))
        scale = 1000;
    else if (!consume(rest, "m"))
        consume(rest, "\xe5\x85\x86"); // 兆
    // Lines are sold in bits, whatever case the label's "b" has.
    if (!(consume(rest, "bit/s") || consume(rest, "bps") || consume(rest, "b/s") || consume(rest, "b")))
        consume(rest, "bit");
    if (!rest.empty() || !std::isfinite(number) || number <= 0)
        return std::nullopt;
    return number * scale;
}

std::optional<ContractedBandwidth> FindContract(const std::string& id,
                                                const std::vector<std::pair<std::string, std::string>>& choices)
{
    for (const auto& [entryId, label] : choices) {
        if (entryId != id)
            continue;
        if (const auto rate = ContractRateMbit(label))
            return ContractedBandwidth{entryId, label, *rate};
        return std::nullopt;
    }
    return std::nullopt;
}

int ContractSharePercent(double bandwidthMb, double contractMbit)
{
    if (!(contractMbit > 0) || !(bandwidthMb > 0))
        return 0;
    const double percent = bandwidthMb * kBitsPerProgramMb / (contractMbit * kBitsPerContractMbit) * 100.0;
    // The tolerance keeps a result of exactly half the contract at 50, not 49.
    return static_cast<int>(std::floor(std::min(percent, 1e6) + 1e-9));
}

std::string ContractShareText(int percent)
{
    return "达到签约带宽的 " + std::to_string(percent) + "%";
}

std::string ShortfallNotice::title() const
{
    return "带宽低于签约带宽的 " + std::to_string(thresholdPercent) + "%";
}

std::string ShortfallNotice::text() const
{
    std::string list;
    for (std::size_t i = 0; i < shares.size(); ++i)
        list += (i ? "、" : "") + std::to_string(shares[i]) + "%";
    return "最近 " + std::to_string(shares.size()) + " 次自动测速的带宽连续低于签约带宽 " + contractLabel + " 的 " +
           std::to_string(thresholdPercent) + "%：分别达到 " + list + "。";
}

std::optional<ShortfallNotice> ShortfallWatch::addResult(int sharePercent, const std::string& contractLabel,
                                                         const ShortfallSettings& settings)
{
    if (!settings.enabled) {
        m_streak.clear();
        m_notified = false;
        return std::nullopt;
    }
    if (sharePercent >= settings.percent) {
        m_streak.clear();
        m_notified = false;
        return std::nullopt;
    }
    m_streak.push_back(sharePercent);
    const auto count = static_cast<std::size_t>(std::max(1, settings.count));
    if (m_streak.size() > count)
        m_streak.erase(m_streak.begin(), m_streak.end() - static_cast<std::ptrdiff_t>(count));
    if (m_notified || m_streak.size() < count)
        return std::nullopt;
    m_notified = true;
    return ShortfallNotice{settings.percent, contractLabel, m_streak};
}

} // namespace quorvane
