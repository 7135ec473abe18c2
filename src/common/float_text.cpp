#include "common/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tessaron {

std::string float_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    std::string text = std::signbit(value) ? "-" : "";
    if (value == 0.0) return text.append("0.0");
    // The shortest digits that read back, from d.ddde±x: the digits, and the power of ten of
    // the point before them.
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                       std::chars_format::scientific);
    const std::string scientific(buffer, written.ptr);
    const std::size_t e = scientific.find('e');
    std::string digits = scientific.substr(0, e);
    if (digits.size() > 1) digits.erase(1, 1);  // the point
    const int exponent = std::stoi(scientific.substr(e + 1));
    const int point = exponent + 1;  // value = 0.digits * 10^point
    const auto count = static_cast<int>(digits.size());
    if (point <= -4 || point > 16) {
        text.push_back(digits[0]);
        if (count > 1) text.append(".").append(digits, 1);
        text.append(exponent < 0 ? "e-" : "e+");
        if (std::abs(exponent) < 10) text.push_back('0');
        return text.append(std::to_string(std::abs(exponent)));
    }
    if (point <= 0)
        return text.append("0.").append(static_cast<std::size_t>(-point), '0').append(digits);
    if (point >= count)
        return text.append(digits)
            .append(static_cast<std::size_t>(point - count), '0')
            .append(".0");
    return text.append(digits, 0, static_cast<std::size_t>(point))
        .append(".")
        .append(digits, static_cast<std::size_t>(point));
}

}  // namespace tessaron
