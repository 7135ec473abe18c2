#include "network/random.hpp"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace tessaron {
namespace {

std::atomic<bool> seeded_activation{true};
std::atomic<bool> seeded_structure{true};

// Bumped by every seed_everything, and in a forked child of a process that was never seeded;
// the per-thread engines restart when it changes.
std::atomic<std::uint64_t> seed_generation{0};
std::atomic<bool> user_seeded{false};
std::atomic<std::uint64_t> seed_value{0};

// An unpredictable seed: the random device mixed with the clock in nanoseconds, so that processes
// started in the same second (a process pool's workers) draw differently even where the device
// is weak.
std::uint32_t unpredictable_seed() {
    const auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    std::uint32_t device_words[2] = {0, 0};
    try {
        std::random_device device;
        device_words[0] = device();
        device_words[1] = device();
    } catch (const std::exception&) {
        // No device on this system: the clock alone still tells processes apart.
    }
    std::seed_seq sequence{device_words[0], device_words[1], static_cast<std::uint32_t>(now),
                           static_cast<std::uint32_t>(now >> 32)};
    std::uint32_t seed = 0;
    sequence.generate(&seed, &seed + 1);
    return seed;
}

void seed_once(std::atomic<bool>& flag) {
    // A plain load first: shuffles pass here for every draw.
    if (flag.load(std::memory_order_relaxed) && flag.exchange(false))
        std::srand(unpredictable_seed());
}

// A child made by fork() would repeat its parent's draws, and its siblings' too: unless the user
// chose a seed (whose runs stay repeatable in every process), it seeds every source anew.
void reseed_forked_child() {
    if (user_seeded.load()) return;
    seeded_activation.store(true);
    seeded_structure.store(true);
    seed_generation.fetch_add(1);
}

[[maybe_unused]] const bool fork_handler_installed = [] {
#if defined(__unix__) || defined(__APPLE__)
    pthread_atfork(nullptr, nullptr, reseed_forked_child);
#endif
    return true;
}();

}  // namespace

void seed_activation_draws_once() {
    seed_once(seeded_activation);
}
void seed_structure_draws_once() {
    seed_once(seeded_structure);
}

int rand_draw() {
    // Shuffles draw without a flag of their own: an unseeded rand() would give every process
    // the same permutations.
    seed_structure_draws_once();
    return std::rand();
}

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
    user_seeded.store(true);
    seed_generation.fetch_add(1);
}

template <class Engine>
bool refresh_thread_engine(Engine& engine, std::uint64_t& generation_seen, std::uint32_t stream) {
    const std::uint64_t generation = seed_generation.load();
    if (generation == generation_seen) return false;
    generation_seen = generation;
    if (!user_seeded.load()) {
        engine.seed(unpredictable_seed());
    } else {
        const std::uint64_t value = seed_value.load();
        std::seed_seq sequence{static_cast<std::uint32_t>(value),
                               static_cast<std::uint32_t>(value >> 32), stream};
        engine.seed(sequence);
    }
    return true;
}

template bool refresh_thread_engine(std::mt19937&, std::uint64_t&, std::uint32_t);
template bool refresh_thread_engine(Mt19937&, std::uint64_t&, std::uint32_t);

void Mt19937::seed(result_type value) {
    state_[0] = value;
    for (int i = 1; i < words; ++i)
        state_[i] =
            1812433253u * (state_[i - 1] ^ (state_[i - 1] >> 30)) + static_cast<result_type>(i);
    next_ = words;
}

void Mt19937::seed(std::seed_seq& sequence) {
    sequence.generate(state_, state_ + words);
    // An all-zero state (its top bit of word 0 included) would stay zero.
    bool zero = (state_[0] & 0x80000000u) == 0;
    for (int i = 1; zero && i < words; ++i) zero = state_[i] == 0;
    if (zero) state_[0] = 0x80000000u;
    next_ = words;
}

namespace {

inline std::uint32_t twisted(std::uint32_t high, std::uint32_t low, std::uint32_t far) {
    const std::uint32_t y = (high & 0x80000000u) | (low & 0x7fffffffu);
    return far ^ (y >> 1) ^ ((0u - (y & 1u)) & 0x9908b0dfu);
}

}  // namespace

void Mt19937::refill() {
    constexpr int shift = 397;
    for (int i = 0; i < words - shift; ++i)
        state_[i] = twisted(state_[i], state_[i + 1], state_[i + shift]);
    for (int i = words - shift; i < words - 1; ++i)
        state_[i] = twisted(state_[i], state_[i + 1], state_[i + shift - words]);
    state_[words - 1] = twisted(state_[words - 1], state_[0], state_[shift - 1]);
    for (int i = 0; i < words; ++i) {
        result_type y = state_[i];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        tempered_[i] = y ^ (y >> 18);
    }
    next_ = 0;
}

}  // namespace tessaron
