// Argument binding: positional filling, keywords in call order, then the check for missing parameters.
#include "module/binding.hpp"

#include <cstring>
#include <optional>

namespace tarnel::py {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

Error too_many_positional(const Signature& sig, std::size_t given) {
    const std::size_t total = sig.names.size();
    std::string text = sig.full_name + " takes ";
    if (sig.required < total) text += "from " + std::to_string(sig.required) + " to ";
    text += std::to_string(total) + " positional arguments but " + std::to_string(given) + " were given";
    return Error::type_error(text);
}

// Binds one keyword; `name` must be a str (the interpreter guarantees it for calls).
std::optional<Error> bind_keyword(const Signature& sig, BoundArguments& bound, PyObject* name, PyObject* value) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return Error::fetch();
    const std::string keyword(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < sig.names.size(); ++i) {
        if (keyword != sig.names[i]) continue;
        if (bound[i]) return Error::type_error(sig.full_name + " got multiple values for argument '" + keyword + "'");
        bound.slot(i) = handle(value);
        return std::nullopt;
    }
    return Error::type_error(sig.full_name + " got an unexpected keyword argument '" + keyword + "'");
}

Result<BoundArguments> check_required(const Signature& sig, BoundArguments bound) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (!bound[i]) missing.push_back(sig.names[i]);
    }
    if (missing.empty()) return bound;
    return fail(Error::type_error(sig.full_name + " missing " + std::to_string(missing.size()) + " required positional " +
                                  (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing)));
}

}  // namespace

Result<BoundArguments> bind(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    if (nargs > sig.names.size()) return fail(too_many_positional(sig, nargs));
    BoundArguments bound(sig.names.size());
    for (std::size_t i = 0; i < nargs; ++i) bound.slot(i) = handle(args[i]);
    const Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        if (auto error = bind_keyword(sig, bound, PyTuple_GetItem(kwnames, k), args[nargs + k])) {
            return fail(std::move(*error));
        }
    }
    return check_required(sig, std::move(bound));
}

Result<BoundArguments> bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (static_cast<std::size_t>(nargs) > sig.names.size()) return fail(too_many_positional(sig, nargs));
    BoundArguments bound(sig.names.size());
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.slot(i) = handle(PyTuple_GetItem(args, i));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (auto error = bind_keyword(sig, bound, key, value)) return fail(std::move(*error));
        }
    }
    return check_required(sig, std::move(bound));
}

}  // namespace tarnel::py
