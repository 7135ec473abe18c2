// Little-endian encoding of the integers and reals of a model file, byte by byte, so that files
// are the same on every host whatever its own byte order.
#pragma once

#include <bit>
#include <cstdint>

namespace tessaron {

inline void store_u32(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline void store_i32(unsigned char* out, std::int32_t value) {
    store_u32(out, static_cast<std::uint32_t>(value));
}

// Every bit of the double is kept: signs of zeros, subnormals and NaN payloads included.
inline void store_f64(unsigned char* out, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(bits >> (8 * i));
}

inline std::uint32_t load_u32(const unsigned char* in) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(in[i]) << (8 * i);
    return value;
}

inline std::int32_t load_i32(const unsigned char* in) {
    return static_cast<std::int32_t>(load_u32(in));
}

inline double load_f64(const unsigned char* in) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    return std::bit_cast<double>(bits);
}

}  // namespace tessaron
