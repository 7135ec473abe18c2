#include "network/random_sources.hpp"

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace tessaron {
namespace {

// Bumped by every seed_everything, and in a forked child of a process that was never seeded;
// the threads' own sources restart when it changes.
std::atomic<std::uint64_t> seed_generation{0};
std::atomic<bool> user_seeded{false};
std::atomic<std::uint64_t> seed_value{0};

constexpr std::uint64_t no_generation = ~std::uint64_t{0};

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

void seed_unpredictably(RandomSources& sources) {
    sources.rand.seed(unpredictable_seed());
    sources.engine_seeds.seed(unpredictable_seed());
    sources.fresh.engine.seed(unpredictable_seed());
    sources.fresh.normal_saved = false;
}

// A child made by fork() would repeat its parent's draws, and its siblings' too: unless the user
// chose a seed (whose runs stay repeatable in every process), it seeds every source anew.
void reseed_forked_child() {
    if (!user_seeded.load()) seed_generation.fetch_add(1);
}

[[maybe_unused]] const bool fork_handler_installed = [] {
#if defined(__unix__) || defined(__APPLE__)
    pthread_atfork(nullptr, nullptr, reseed_forked_child);
#endif
    return true;
}();

struct ThreadStream {
    RandomSources own;
    std::uint64_t generation = no_generation;
    std::vector<std::unique_ptr<RandomSources>> scopes;  // innermost last
};

ThreadStream& thread_stream() {
    thread_local ThreadStream stream;
    return stream;
}

}  // namespace

void seed_sources(RandomSources& sources, std::uint64_t value) {
    sources.rand.seed(static_cast<unsigned>(value ^ (value >> 32)));
    for (std::uint32_t stream : {0u, 1u}) {
        std::seed_seq sequence{static_cast<std::uint32_t>(value),
                               static_cast<std::uint32_t>(value >> 32), stream};
        if (stream == 0)
            sources.engine_seeds.seed(sequence);
        else
            sources.fresh.engine.seed(sequence);
    }
    sources.fresh.normal_saved = false;
}

RandomSources& thread_random_sources() {
    ThreadStream& stream = thread_stream();
    if (!stream.scopes.empty()) return *stream.scopes.back();
    const std::uint64_t generation = seed_generation.load();
    if (generation != stream.generation) {
        stream.generation = generation;
        if (user_seeded.load())
            seed_sources(stream.own, seed_value.load());
        else
            seed_unpredictably(stream.own);
    }
    return stream.own;
}

void seed_everything(std::uint64_t value) {
    seed_value.store(value);
    user_seeded.store(true);
    seed_generation.fetch_add(1);
}

int start_seeded_scope(std::uint64_t value) {
    ThreadStream& stream = thread_stream();
    auto sources = std::make_unique<RandomSources>();
    seed_sources(*sources, value);
    stream.scopes.push_back(std::move(sources));
    return static_cast<int>(stream.scopes.size());
}

bool end_seeded_scope(int depth) {
    ThreadStream& stream = thread_stream();
    if (depth < 1 || static_cast<std::size_t>(depth) != stream.scopes.size()) return false;
    stream.scopes.pop_back();
    return true;
}

SeededScope::SeededScope(std::uint64_t value) {
    start_seeded_scope(value);
}

SeededScope::~SeededScope() {
    thread_stream().scopes.pop_back();
}

}  // namespace tessaron
