// Binds positional and keyword arguments to an entry point's parameters, with the standard error texts.
#pragma once

#include <array>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "module/py_error.hpp"

namespace tarnel::py {

// The parameters of one entry point: all may be given by position or keyword; the first `required`
// must be given.
struct Signature {
    std::string full_name;  // as in messages: "TarnelEngineAsync.get_ohlc()" or "decode_vec_f64_py()"
    std::vector<const char*> names;
    std::size_t required = 0;
};

// The bound arguments, in parameter order; an absent one is an empty handle.
class BoundArguments {
public:
    explicit BoundArguments(std::size_t count) : values_(count) {}
    handle operator[](std::size_t i) const { return values_[i]; }
    // Absent or None: optional parameters treat both as "not given".
    bool is_none(std::size_t i) const { return !values_[i] || values_[i].ptr() == Py_None; }
    handle& slot(std::size_t i) { return values_[i]; }

private:
    std::vector<handle> values_;
};

// Vectorcall form: `args` holds `nargs` positional values followed by the values of `kwnames`.
Result<BoundArguments> bind(const Signature& signature, PyObject* const* args, std::size_t nargs,
                            PyObject* kwnames);
// Tuple-and-dict form (type constructors).
Result<BoundArguments> bind(const Signature& signature, PyObject* args, PyObject* kwargs);

}  // namespace tarnel::py
