// A double as Python's repr shows it, for messages that name a value the user gave.
#pragma once

#include <string>

namespace tessaron {

// The shortest text that reads back as `value`, laid out as repr(float) lays it out: fixed
// notation with at least one decimal from 1e-4 up to below 1e16, else "1.5e-07" or "1e+16";
// "nan", "inf" and "-inf".
std::string float_text(double value);

}  // namespace tessaron
