#include "network/random.hpp"

#include <atomic>
#include <cstdlib>
#include <ctime>

namespace tessaron {
namespace {

std::atomic<bool> seeded_activation{true};
std::atomic<bool> seeded_structure{true};

// Bumped by every seed_everything; 0 means never seeded.
std::atomic<std::uint64_t> seed_generation{0};
std::atomic<std::uint64_t> seed_value{0};

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
    thread_local std::mt19937 seeds;
    thread_local std::uint64_t generation = no_generation;
    refresh_thread_engine(seeds, generation, 0);
    return seeds();
}

void seed_everything(std::uint64_t value) {
    seeded_activation.store(false);
    seeded_structure.store(false);
    std::srand(static_cast<unsigned>(value ^ (value >> 32)));
    seed_value.store(value);
    seed_generation.fetch_add(1);
}

bool refresh_thread_engine(std::mt19937& engine, std::uint64_t& generation_seen,
                           std::uint32_t stream) {
    const std::uint64_t generation = seed_generation.load();
    if (generation == generation_seen) return false;
    generation_seen = generation;
    if (generation == 0) {
        engine.seed(std::random_device{}());
    } else {
        const std::uint64_t value = seed_value.load();
        std::seed_seq sequence{static_cast<std::uint32_t>(value),
                               static_cast<std::uint32_t>(value >> 32), stream};
        engine.seed(sequence);
    }
    return true;
}

}  // namespace tessaron
