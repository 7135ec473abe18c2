// What this machine can do for the forward kernel's basic operation, y[s] += w * x[s] on a batch in
// cache, against the connection-updates per second that the kernel reaches on small networks, and
// how scoring a pool of networks scales from one thread to all of them.
// Usage: roofline [--isa SET] [nodes samples pool]  (defaults: 20 nodes, 1024 samples, pool 200)
//        roofline [--isa SET] --basic                (only the one-thread limit, in G updates/s)
// --isa runs the kernel and the basic operation with the instruction-set variant SET (portable,
// avx2 or avx512f) instead of the best one this processor supports.
//
// The machine may be shared: every figure is the best of many short runs, and the runs of all
// figures are interleaved, so that the ratios compare figures taken over the same stretch of time.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "network/activation.hpp"
#include "network/forward.hpp"
#include "network/instruction_set.hpp"

using namespace tessaron;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int inputs = 2;
constexpr int outputs = 1;
constexpr double run_seconds = 0.04;  // processor time of one run of a figure
constexpr int passes = 15;            // runs of every figure; the best is kept

// The basic operation, alone: one rounded product added per element, as in the kernel. Compiled
// for the same instruction sets as the kernel, and run with the one the kernel runs with.
__attribute__((always_inline)) inline void scaled_add_loop(double* __restrict y,
                                                           const double* __restrict x, double w,
                                                           std::int32_t count) {
    for (std::int32_t s = 0; s < count; ++s) y[s] += w * x[s];
}
__attribute__((noinline)) void scaled_add_portable(double* __restrict y, const double* __restrict x,
                                                   double w, std::int32_t count) {
    scaled_add_loop(y, x, w, count);
}
#ifdef TESSARON_X86_VARIANTS
__attribute__((noinline, target("avx2"))) void scaled_add_avx2(double* __restrict y,
                                                               const double* __restrict x, double w,
                                                               std::int32_t count) {
    scaled_add_loop(y, x, w, count);
}
__attribute__((noinline, target("avx512f"))) void scaled_add_avx512(double* __restrict y,
                                                                    const double* __restrict x,
                                                                    double w, std::int32_t count) {
    scaled_add_loop(y, x, w, count);
}
#endif

void scaled_add(double* __restrict y, const double* __restrict x, double w, std::int32_t count) {
    switch (active_instruction_set()) {
#ifdef TESSARON_X86_VARIANTS
        case InstructionSet::avx512:
            return scaled_add_avx512(y, x, w, count);
        case InstructionSet::avx2:
            return scaled_add_avx2(y, x, w, count);
#endif
        default:
            return scaled_add_portable(y, x, w, count);
    }
}

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// One figure: work(thread, rounds) run on `threads` threads at once, `amount` units of work
// (updates, pools) per round and thread.
struct Probe {
    int threads = 1;
    double amount = 0;
    std::function<void(int thread, long rounds)> work;
    long rounds = 1;
    double best_wall = 1e300;  // seconds
    double best_cpu = 1e300;   // processor seconds, summed over the threads

    // Work per second. Processor time leaves out the slices that other programs take, so
    // one-thread figures stay comparable under load; with several threads sharing the work,
    // wall time is what counts.
    double per_wall_second() const { return amount * rounds * threads / best_wall; }
    double per_thread_second() const { return amount * rounds * threads / best_cpu; }
};

void calibrate(Probe& probe) {
    for (probe.rounds = 1;; probe.rounds *= 4) {
        const double start = thread_cpu_seconds();
        probe.work(0, probe.rounds);
        const double elapsed = thread_cpu_seconds() - start;
        if (elapsed >= run_seconds / 8) {
            probe.rounds = std::max(1L, static_cast<long>(probe.rounds * run_seconds / elapsed));
            return;
        }
    }
}

void run_once(Probe& probe) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<double> cpu(probe.threads);
    auto timed = [&](int t) {
        const double start = thread_cpu_seconds();
        probe.work(t, probe.rounds);
        cpu[t] = thread_cpu_seconds() - start;
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < probe.threads; ++t)
        helpers.emplace_back([&, t] {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            timed(t);
        });
    while (ready.load() < probe.threads - 1) std::this_thread::yield();
    const auto start = Clock::now();
    go.store(true);
    timed(0);
    for (auto& helper : helpers) helper.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    double total = 0;
    for (double c : cpu) total += c;
    probe.best_wall = std::min(probe.best_wall, wall);
    probe.best_cpu = std::min(probe.best_cpu, total);
}

// The start of a buffer of at least `count` doubles, `offset` doubles past a 64-byte boundary.
double* place(std::vector<double>& buffer, std::int32_t count, int offset, double value) {
    buffer.assign(count + 16, value);
    const auto address = reinterpret_cast<std::uintptr_t>(buffer.data());
    return buffer.data() + ((64 - address % 64) % 64) / sizeof(double) + offset;
}

struct BasicData {
    std::vector<std::vector<double>> buffers;
    std::vector<double*> x, y;
};

// The basic operation over `count` elements per thread, each array `offset` doubles past a
// cache-line boundary.
Probe basic_probe(std::int32_t count, int threads, int offset, std::vector<BasicData>& keep) {
    BasicData& data = keep.emplace_back();
    data.buffers.resize(2 * threads);
    for (int t = 0; t < threads; ++t) {
        data.x.push_back(place(data.buffers[2 * t], count, offset, 0.5));
        data.y.push_back(place(data.buffers[2 * t + 1], count, offset, 0.0));
    }
    Probe probe;
    probe.threads = threads;
    probe.amount = count;
    // The sign alternates so that y stays bounded and no round can be folded into another.
    probe.work = [&data, count](int t, long rounds) {
        for (long r = 0; r < rounds; ++r)
            scaled_add(data.y[t], data.x[t], (r & 1) ? 0.25 : -0.25, count);
    };
    return probe;
}

Network make_network(std::int32_t nodes, int kind) {
    Network network(inputs, outputs);
    reset(network, nodes);
    randomise(network);  // every allowed connection
    // One kind for every node, or the four kinds in turn (random kinds would change the cost
    // from run to run).
    for (std::int32_t k = inputs; k < nodes; ++k)
        network.activations[k] = kind >= 0 ? kind : k % activation_kind_count;
    return network;
}

SampleMatrix random_samples(std::int32_t rows, std::int32_t cols, unsigned seed) {
    SampleMatrix x(rows, cols);
    std::mt19937 engine(seed);
    std::normal_distribution<double> normal;
    for (double& v : x.values) v = normal(engine);
    return x;
}

struct KernelData {
    Network network;
    std::vector<ForwardScratch> scratch;
    std::vector<std::vector<double>> out;
};

// Connection-updates of forward_rows on one network, every thread evaluating all samples.
Probe kernel_probe(const Network& network, const SampleMatrix& x, int threads,
                   std::vector<KernelData>& keep) {
    KernelData& data = keep.emplace_back();
    data.network = network;
    data.scratch.resize(threads);
    data.out.assign(threads, std::vector<double>(static_cast<std::size_t>(x.rows) * outputs));
    Probe probe;
    probe.threads = threads;
    probe.amount = static_cast<double>(connection_count(network)) * x.rows;
    probe.work = [&data, &x](int t, long rounds) {
        for (long r = 0; r < rounds; ++r)
            forward_rows(data.network, x, data.out[t].data(), data.scratch[t]);
    };
    return probe;
}

struct PoolData {
    std::vector<ForwardScratch> scratch;
    std::vector<std::vector<double>> out;
    std::vector<double> losses;
};

// Pools scored: every network evaluated on every sample and its mean squared error taken, the
// networks dealt out to the threads in turn. A round is one pool, shared by all threads.
Probe pool_probe(const std::vector<Network>& pool, const SampleMatrix& x,
                 const std::vector<double>& y, int threads, std::vector<PoolData>& keep) {
    PoolData& data = keep.emplace_back();
    data.scratch.resize(threads);
    data.out.assign(threads, std::vector<double>(x.rows));
    data.losses.assign(pool.size(), 0.0);
    Probe probe;
    probe.threads = threads;
    probe.amount = 1.0 / threads;
    probe.work = [&data, &pool, &x, &y, threads](int t, long rounds) {
        double* out = data.out[t].data();
        for (long r = 0; r < rounds; ++r)
            for (std::size_t i = t; i < pool.size(); i += threads) {
                forward_rows(pool[i], x, out, data.scratch[t]);
                double sum = 0;
                for (std::int32_t s = 0; s < x.rows; ++s) sum += (out[s] - y[s]) * (out[s] - y[s]);
                data.losses[i] = sum / x.rows;
            }
    };
    return probe;
}

void print_load(const char* when) {
    double load[3];
    if (getloadavg(load, 3) == 3)
        std::printf("Load average %s: %.2f %.2f %.2f\n", when, load[0], load[1], load[2]);
}

}  // namespace

// The one-thread limit alone, best of the aligned lengths, for scripts that compare other
// figures with it.
int print_basic_limit() {
    std::vector<BasicData> basic_data;
    basic_data.reserve(2);
    std::vector<Probe> probes{basic_probe(1024, 1, 0, basic_data),
                              basic_probe(forward_block_size, 1, 0, basic_data)};
    for (Probe& probe : probes) calibrate(probe);
    for (int pass = 0; pass < passes; ++pass)
        for (Probe& probe : probes) run_once(probe);
    std::printf("%.4f\n",
                std::max(probes[0].per_thread_second(), probes[1].per_thread_second()) / 1e9);
    return 0;
}

// Makes the variant named `name` run; false when there is none of that name or it cannot run here.
bool choose_instruction_set(const char* name) {
    for (const InstructionSet set : instruction_sets)
        if (instruction_set_name(set) == name) return use_instruction_set(set);
    return false;
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--isa") == 0) {
        if (!choose_instruction_set(argv[2])) {
            std::fprintf(stderr, "roofline: no instruction-set variant '%s' runs here\n", argv[2]);
            return 2;
        }
        argc -= 2;
        argv += 2;
    }
    if (argc == 2 && std::strcmp(argv[1], "--basic") == 0) return print_basic_limit();
    const std::int32_t nodes = argc > 1 ? std::atoi(argv[1]) : 20;
    const std::int32_t samples = argc > 2 ? std::atoi(argv[2]) : 1024;
    const int pool_size = argc > 3 ? std::atoi(argv[3]) : 200;
    const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    if (nodes < inputs + outputs || nodes > 512 || samples < 1 || pool_size < 1) {
        std::fprintf(stderr,
                     "usage: roofline [--isa SET] [nodes 3..512] [samples >= 1] [pool >= 1]\n");
        return 2;
    }
    std::printf("Instruction set in use: %s; %d hardware threads\n",
                std::string(instruction_set_name(active_instruction_set())).c_str(), threads);
    print_load("at the start");

    // Every probe keeps its data in these lists, which must not move while the probes live.
    std::vector<BasicData> basic_data;
    std::vector<KernelData> kernel_data;
    std::vector<PoolData> pool_data;
    basic_data.reserve(8);
    kernel_data.reserve(16);
    pool_data.reserve(4);

    std::vector<Probe> probes;
    probes.push_back(basic_probe(samples, 1, 0, basic_data));
    probes.push_back(basic_probe(forward_block_size, 1, 0, basic_data));
    probes.push_back(basic_probe(samples, 1, 2, basic_data));
    probes.push_back(basic_probe(samples, threads, 0, basic_data));
    const struct {
        const char* name;
        int kind;
    } variants[] = {{"four kinds in turn", -1},
                    {"relu only", relu},
                    {"sigmoid only", sigmoid},
                    {"tanh only", tanh_kind},
                    {"linear only", linear}};
    const SampleMatrix x = random_samples(samples, inputs, 1);
    const std::size_t first_kernel = probes.size();
    for (const auto& variant : variants) {
        const Network network = make_network(nodes, variant.kind);
        probes.push_back(kernel_probe(network, x, 1, kernel_data));
        probes.push_back(kernel_probe(network, x, threads, kernel_data));
    }
    std::vector<Network> pool;
    for (int i = 0; i < pool_size; ++i) pool.push_back(make_network(nodes, -1));
    std::vector<double> y(samples);
    for (std::int32_t s = 0; s < samples; ++s) y[s] = std::sin(x.row(s)[0] + x.row(s)[1]);
    const std::size_t first_pool = probes.size();
    probes.push_back(pool_probe(pool, x, y, 1, pool_data));
    probes.push_back(pool_probe(pool, x, y, threads, pool_data));

    for (Probe& probe : probes) calibrate(probe);
    for (int pass = 0; pass < passes; ++pass)
        for (Probe& probe : probes) run_once(probe);

    const Probe& basic_long = probes[0];
    const Probe& basic_block = probes[1];
    const Probe& basic_unaligned = probes[2];
    const Probe& basic_all = probes[3];
    std::printf(
        "One-thread figures are per processor-second of that thread (other programs' time "
        "slices left out);\nall-thread figures are per wall second and per "
        "processor-second of each thread. Best of %d runs each.\n",
        passes);
    std::printf(
        "\nBasic operation y[s] += w * x[s], data in cache, arrays on cache-line "
        "boundaries:\n");
    std::printf("  1 thread,  %5d elements: %7.2f G updates/s\n", samples,
                basic_long.per_thread_second() / 1e9);
    std::printf("  1 thread,  %5d elements: %7.2f G updates/s (the kernel's block length)\n",
                forward_block_size, basic_block.per_thread_second() / 1e9);
    std::printf(
        "  1 thread,  %5d elements: %7.2f G updates/s (arrays 16 bytes past a cache-line "
        "boundary)\n",
        samples, basic_unaligned.per_thread_second() / 1e9);
    std::printf(
        "  %d threads, %5d elements: %7.2f G updates/s per wall second, %.2f G per "
        "thread-second\n",
        threads, samples, basic_all.per_wall_second() / 1e9, basic_all.per_thread_second() / 1e9);
    // The machine's limit on one thread: the best of the aligned lengths.
    const double limit = std::max(basic_long.per_thread_second(), basic_block.per_thread_second());

    std::printf(
        "\nForward kernel (forward_rows), %d-node networks (%d inputs, %d output, every "
        "allowed connection), %d samples.\nShare = kernel connection-updates / basic "
        "operation limit on one thread, %.2f G/s (target: >= 40%% on 1 thread).\n",
        nodes, inputs, outputs, samples, limit / 1e9);
    std::printf("  %-19s %5s %13s %7s %16s %16s\n", "activations", "conns", "1 thread G/s", "share",
                "all threads G/s", "per thread-s G/s");
    for (std::size_t v = 0; v < std::size(variants); ++v) {
        const Probe& one = probes[first_kernel + 2 * v];
        const Probe& all = probes[first_kernel + 2 * v + 1];
        std::printf("  %-19s %5zu %13.2f %6.1f%% %16.2f %16.2f\n", variants[v].name,
                    connection_count(kernel_data[2 * v].network), one.per_thread_second() / 1e9,
                    100 * one.per_thread_second() / limit, all.per_wall_second() / 1e9,
                    all.per_thread_second() / 1e9);
    }

    const Probe& pool_one = probes[first_pool];
    const Probe& pool_all = probes[first_pool + 1];
    // Bit for bit: each network is scored the same way whichever thread takes it.
    const bool same = std::memcmp(pool_data[0].losses.data(), pool_data[1].losses.data(),
                                  pool_data[0].losses.size() * sizeof(double)) == 0;
    std::printf(
        "\nScoring a pool of %d %d-node networks on %d samples (forward pass and mse), "
        "networks dealt out\nto plain threads (target: >= 1.7x from 1 to 2 threads):\n",
        pool_size, nodes, samples);
    std::printf("  1 thread  : %7.1f pools per processor-second\n", pool_one.per_thread_second());
    std::printf(
        "  %d threads : %7.1f pools per wall second (%.2fx); the threads' processor time "
        "gives %.2fx on an idle machine\n",
        threads, pool_all.per_wall_second(),
        pool_all.per_wall_second() / pool_one.per_thread_second(),
        threads * pool_all.per_thread_second() / pool_one.per_thread_second());
    if (!same) std::printf("  LOSSES DIFFER BETWEEN THREAD COUNTS\n");
    print_load("at the end");
    return same ? 0 : 1;
}
