#pragma once
// Results measured against the bandwidth the user pays for: the contracted
// rate of a bandwidth choice's label, the share of it a result reached, and
// the watch that tells the user when automatic results stay short of it.
//
// Units: contracts are sold in megabits of 10^6 bits; the program's own
// bandwidth figure ("38.1" in "38.1Mb/s") counts megabits of 2^20 bits. The
// share converts, so a line that delivers exactly what was sold reads 100 %.
//
// Thread-safety: pure functions; a ShortfallWatch belongs to one thread.
#include "config/user_documents.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane
{

// The rate of a label such as "2M", "100M", "1000M" or "1G" in megabits per
// second (K, M or 兆, G; a bare number is megabits; "b", "bps", "bit/s" may
// follow). Nothing for a label without a usable number.
std::optional<double> ContractRateMbit(std::string_view label);

struct ContractedBandwidth {
    std::string id;    // the bandmap entry's id
    std::string label; // as the list shows it ("100M")
    double mbit = 0;   // ContractRateMbit(label)
};

// The entry `id` of (id, label) choices, when it is there and has a rate.
std::optional<ContractedBandwidth> FindContract(const std::string& id,
                                                const std::vector<std::pair<std::string, std::string>>& choices);

// The share in whole percent (rounded down, so a result shown at 50 % is
// never below 50 %) of a bandwidth figure in the program's Mb.
int ContractSharePercent(double bandwidthMb, double contractMbit);

// "达到签约带宽的 87%".
std::string ContractShareText(int percent);

// What the watch reports when automatic results stayed short of the
// contract: the threshold, the contract and the shares of the results that
// made the episode, oldest first.
struct ShortfallNotice {
    int thresholdPercent = 0;
    std::string contractLabel;
    std::vector<int> shares;

    std::string title() const;
    std::string text() const;
};

// The episode rule. Feed it the share of every automatic bandwidth result
// that was judged (a chosen contract); manual results, rejected rounds and
// results without a contract are not fed. It reports once when `count`
// results in a row fall below the threshold, and again only after a result
// at or above the threshold ended that episode. Turning the notice off
// forgets the streak.
class ShortfallWatch
{
public:
    std::optional<ShortfallNotice> addResult(int sharePercent, const std::string& contractLabel,
                                             const ShortfallSettings& settings);

private:
    std::vector<int> m_streak; // shares below the threshold, in a row
    bool m_notified = false;   // this episode was reported
};

} // namespace quorvane
