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
    // One device per thread: a shared device would need a lock, and opening one per draw costs.
    thread_local std::random_device device;
    return device();
}

}  // namespace tessaron
