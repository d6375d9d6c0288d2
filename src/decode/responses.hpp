// Response payloads as Python results, one builder per kind of result. Each runs on the thread of the
// event loop that awaits the call, with the interpreter lock held, after the response arrived.
#pragma once

#include "codec/payload_codec.hpp"
#include "module/py_error.hpp"

namespace tarnel::decode {

// u32 from the first four bytes, or 0 for a shorter payload.
py::Result<py::object> int_response(Bytes&& payload);
// The payload as UTF-8 text, or "{}" when it is not valid UTF-8.
py::Result<py::object> text_response(Bytes&& payload);
// First byte 0: "deferred", 1: "eager", anything else or nothing: None.
py::Result<py::object> policy_response(Bytes&& payload);
// VecF64, MatF64 and VecMatF64 as arrays; a malformed payload is a ValueError with the codec's text.
py::Result<py::object> vector_response(Bytes&& payload);
py::Result<py::object> matrix_response(Bytes&& payload);
py::Result<py::object> vector_matrix_response(Bytes&& payload);

}  // namespace tarnel::decode
