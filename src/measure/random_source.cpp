#include "measure/random_source.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <random>

namespace quorvane::measure
{

RandomSource seededRandomSource()
{
    // Seeding with the time in seconds alone would hand every client that
    // starts in the same second the same request key and the same server.
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(),
                       static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count())};
    struct State {
        std::mutex mutex;
        std::mt19937 engine;
    };
    auto state = std::make_shared<State>();
    state->engine.seed(seed);
    return [state] {
        std::lock_guard lock(state->mutex);
        return static_cast<int>(state->engine() & 0x7FFF);
    };
}

} // namespace quorvane::measure
