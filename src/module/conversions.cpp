// The plain argument conversions and their error texts.
#include "module/conversions.hpp"

#include <limits>

namespace tarnel::py {

Error out_of_range() { return Error::overflow_error("out of range integral type conversion attempted"); }

Error cannot_convert(handle obj, const char* target) {
    return Error::type_error("'" + type_name_of(obj) + "' object cannot be converted to '" + target + "'");
}

Result<std::string> to_text(handle obj) {
    if (!obj || !PyUnicode_Check(obj.ptr())) return fail(cannot_convert(obj ? obj : handle(Py_None), "PyString"));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (utf8 == nullptr) return fetched();
    return std::string(utf8, static_cast<std::size_t>(size));
}

Result<double> to_float(handle obj) {
    const double value = PyFloat_AsDouble(obj.ptr());
    if (value == -1.0 && PyErr_Occurred()) return fetched();
    return value;
}

Result<std::optional<double>> to_optional_float(handle obj) {
    if (!obj || obj.ptr() == Py_None) return std::optional<double>();
    auto value = to_float(obj);
    if (!value) return fail(std::move(value.error()));
    return std::optional<double>(*value);
}

namespace {
// The signed path: index, then C long, then the target's range.
template <class T>
Result<T> to_signed_range(handle obj) {
    object index = object::steal(PyNumber_Index(obj.ptr()));
    if (!index) return fetched();
    const long value = PyLong_AsLong(index.ptr());
    if (value == -1 && PyErr_Occurred()) return fetched();
    if (value < static_cast<long>(std::numeric_limits<T>::min()) ||
        value > static_cast<long>(std::numeric_limits<T>::max())) {
        return fail(out_of_range());
    }
    return static_cast<T>(value);
}
}  // namespace

Result<std::int32_t> to_i32(handle obj) { return to_signed_range<std::int32_t>(obj); }
Result<std::uint16_t> to_u16(handle obj) { return to_signed_range<std::uint16_t>(obj); }

Result<std::uint32_t> to_u32(handle obj) {
    // The unsigned path: a negative value is refused by the interpreter's own conversion.
    object index = object::steal(PyNumber_Index(obj.ptr()));
    if (!index) return fetched();
    const unsigned long value = PyLong_AsUnsignedLong(index.ptr());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return fetched();
    if (value > std::numeric_limits<std::uint32_t>::max()) return fail(out_of_range());
    return static_cast<std::uint32_t>(value);
}

}  // namespace tarnel::py
