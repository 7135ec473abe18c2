#include "network/random.hpp"

#include <atomic>
#include <cstdlib>
#include <ctime>

namespace tessaron {
namespace {

std::atomic<bool> seeded_activation{true};
std::atomic<bool> seeded_structure{true};

void seed_once(std::atomic<bool>& flag) {
    if (flag.exchange(false)) std::srand(static_cast<unsigned>(std::time(nullptr)));
}

}  // namespace

void seed_activation_draws_once() { seed_once(seeded_activation); }
void seed_structure_draws_once() { seed_once(seeded_structure); }

int rand_draw() { return std::rand(); }

std::uint32_t engine_seed() {
    // Reading the random device for every new network costs more than the rest of a copy; one
    // generator per thread, seeded from the device, keeps the seeds unpredictable and cheap.
    thread_local std::mt19937 seeds(std::random_device{}());
    return seeds();
}

}  // namespace tessaron
