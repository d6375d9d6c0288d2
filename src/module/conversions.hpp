// The plain argument conversions: text, floats and integers, each returning a value or the Python error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "module/py_error.hpp"

namespace tarnel::py {

// str (or a subclass) as UTF-8; other types: TypeError "'T' object cannot be converted to 'PyString'".
Result<std::string> to_text(handle obj);
// The interpreter's float conversion (float, int, __float__, __index__).
Result<double> to_float(handle obj);
// None or absent gives nothing; otherwise as to_float.
Result<std::optional<double>> to_optional_float(handle obj);
// The integer-index conversion (int, bool, __index__; float refused) into the target range.
Result<std::int32_t> to_i32(handle obj);
Result<std::uint32_t> to_u32(handle obj);
Result<std::uint16_t> to_u16(handle obj);

// The error for a value outside the target integer type.
Error out_of_range();
// "'T' object cannot be converted to '<target>'".
Error cannot_convert(handle obj, const char* target);

// Applies `convert` and names the parameter in a TypeError.
template <class Convert>
auto argument(const char* name, handle obj, Convert convert) -> decltype(convert(obj)) {
    auto result = convert(obj);
    if (!result) return fail(with_argument_name(std::move(result.error()), name));
    return result;
}

}  // namespace tarnel::py
