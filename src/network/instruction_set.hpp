// The instruction sets that the block kernel is compiled for, and the one it runs with.
//
// Each variant is the same source compiled with a target attribute (g++ and clang alike); the
// best one that the processor supports is chosen at the first use, through
// __builtin_cpu_supports. Only the width of the vectors changes between variants: with
// contraction off, every lane rounds exactly as the scalar code does, so all variants give the
// same bits. Outside x86-64 only the portable variant exists.
#pragma once

#include <cstdint>
#include <string_view>

#if defined(__x86_64__) && defined(__GNUC__)
#define TESSARON_X86_VARIANTS 1
#endif

namespace tessaron {

enum class InstructionSet : std::int32_t { portable = 0, avx2 = 1, avx512 = 2 };

inline constexpr InstructionSet instruction_sets[] = {InstructionSet::portable,
                                                      InstructionSet::avx2, InstructionSet::avx512};

// "portable", "avx2" or "avx512f".
std::string_view instruction_set_name(InstructionSet set);

// Whether this build holds the variant and this processor runs it.
bool instruction_set_supported(InstructionSet set);

// The variant the kernel runs with: the best supported one, unless use_instruction_set chose
// another.
InstructionSet active_instruction_set();

// Makes the kernel run with `set` from now on, for tests and benchmarks that compare variants.
// Returns false, changing nothing, when the variant is not supported here.
bool use_instruction_set(InstructionSet set);

}  // namespace tessaron
