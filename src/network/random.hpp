// Process-wide random sources shared by the network and variation code.
//
// Three sources exist, and which one a draw uses is fixed: the C library's rand() (activation
// kinds, choices among candidates, shuffles), each network's own engine (weights and biases), and
// the "fresh" draws of the variation operators.
#pragma once

#include <cstdint>
#include <random>

namespace tessaron {

// Unless seed_everything has run, rand() is seeded before its first use by each kind of draw
// from the random device mixed with the clock; each flag triggers the seeding at most once per
// process (and once more in a child made by fork()). rand_draw itself makes sure rand() was
// seeded by one of them.
void seed_activation_draws_once();
void seed_structure_draws_once();

// One value of rand(), in 0 .. RAND_MAX.
int rand_draw();

// A seed for a new network engine: from a per-thread generator seeded from the random device
// mixed with the clock, or from the value given to seed_everything.
std::uint32_t engine_seed();

// Makes every random source derive from `value` from now on: rand() is seeded with it (and never
// again with the time), and every per-thread engine restarts from it when it next draws. The same
// sequence of calls then gives the same draws.
void seed_everything(std::uint64_t value);

// Keeps a per-thread engine in step with seed_everything: when seed_everything has run since
// `generation_seen` (which starts at no_generation), reseeds the engine from the seed and `stream`
// (or, if never seeded, from the random device mixed with the clock) and returns true. A child
// made by fork() of a process that was never seeded reseeds its engines too.
inline constexpr std::uint64_t no_generation = ~std::uint64_t{0};
template <class Engine>
bool refresh_thread_engine(Engine& engine, std::uint64_t& generation_seen, std::uint32_t stream);

// The 32-bit Mersenne Twister, drawing exactly what std::mt19937 draws from the same seeding, with
// a refill of its state that the compiler can vectorise and that tempers the new words in the
// same pass: the engine of the many fresh draws.
class Mt19937 {
  public:
    using result_type = std::uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return 0xffffffffu; }

    explicit Mt19937(result_type value = 5489u) { seed(value); }
    void seed(result_type value);
    void seed(std::seed_seq& sequence);

    result_type operator()() {
        if (next_ >= words) refill();
        return tempered_[next_++];
    }

  private:
    static constexpr int words = 624;
    void refill();
    result_type state_[words];
    result_type tempered_[words];  // the words drawn, made from state_ by the last refill
    int next_ = words;
};

}  // namespace tessaron
