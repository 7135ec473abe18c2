#include "network/instruction_set.hpp"

#include <atomic>

namespace tessaron {
namespace {

InstructionSet best_supported() {
    InstructionSet best = InstructionSet::portable;
    for (const InstructionSet set : instruction_sets)
        if (instruction_set_supported(set)) best = set;
    return best;
}

// Read on every block; which variant runs never changes a result, so relaxed order suffices.
std::atomic<InstructionSet>& active() {
    static std::atomic<InstructionSet> set{best_supported()};
    return set;
}

}  // namespace

std::string_view instruction_set_name(InstructionSet set) {
    switch (set) {
        case InstructionSet::avx2:
            return "avx2";
        case InstructionSet::avx512:
            return "avx512f";
        default:
            return "portable";
    }
}

bool instruction_set_supported(InstructionSet set) {
    switch (set) {
        case InstructionSet::portable:
            return true;
#ifdef TESSARON_X86_VARIANTS
        case InstructionSet::avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
        case InstructionSet::avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") != 0;
#endif
        default:
            return false;
    }
}

InstructionSet active_instruction_set() {
    return active().load(std::memory_order_relaxed);
}

bool use_instruction_set(InstructionSet set) {
    if (!instruction_set_supported(set)) return false;
    active().store(set, std::memory_order_relaxed);
    return true;
}

}  // namespace tessaron
