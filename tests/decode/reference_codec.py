"""A small, slow, pure-Python model of the payload codecs and of the module's codec functions.

Bytes are read and written with struct only; NumPy serves only as the container of the results of the
*_py functions, so that the tests can run one body against the native module and against this model.
Every failure raises ValueError with the same text as the native codec.
"""

import struct

import numpy as np

_U32 = struct.Struct("<I")
_I32 = "<{}i"
_F64 = "<{}d"
_U32_MAX = 2**32 - 1
_U64_MAX = 2**64 - 1


def _u32(value, what):
    if not 0 <= value <= _U32_MAX:
        raise ValueError(f"{what} does not fit in a 32-bit header field: {value}")
    return _U32.pack(value)


def _mismatch(kind, expected, got):
    return ValueError(f"{kind} length mismatch: expected {expected}, got {got}")


# --- payload level -------------------------------------------------------------------------------


def encode_vec_f64(values):
    values = list(values)
    return _u32(len(values), "n") + struct.pack(_F64.format(len(values)), *values)


def encode_mat_f64(rows, cols, values):
    values = list(values)
    if rows * cols > _U64_MAX:
        raise ValueError("rows*cols overflow")
    if len(values) != rows * cols:
        raise ValueError(f"MatF64 data length mismatch: expected {rows * cols}, got {len(values)}")
    return _u32(rows, "rows") + _u32(cols, "cols") + struct.pack(_F64.format(len(values)), *values)


def encode_close_step(flags, actions, ratios):
    flags, actions, ratios = list(flags), list(actions), list(ratios)
    n = len(flags)
    if not n == len(actions) == len(ratios):
        raise ValueError(
            f"close_step shape mismatch: flags={len(flags)}, actions={len(actions)}, ratios={len(ratios)}"
        )
    return (
        _u32(n, "n")
        + struct.pack(_I32.format(n), *flags)
        + struct.pack(_I32.format(n), *actions)
        + struct.pack(_F64.format(n), *ratios)
    )


def decode_vec_f64(payload):
    if len(payload) < 4:
        raise ValueError("VecF64 payload too short")
    (n,) = _U32.unpack_from(payload, 0)
    expected = 4 + 8 * n
    if len(payload) != expected:
        raise _mismatch("VecF64", expected, len(payload))
    return list(struct.unpack_from(_F64.format(n), payload, 4))


def decode_mat_f64(payload):
    if len(payload) < 8:
        raise ValueError("MatF64 payload too short")
    rows, cols = struct.unpack_from("<II", payload, 0)
    expected = 8 + 8 * rows * cols
    if len(payload) != expected:
        raise _mismatch("MatF64", expected, len(payload))
    return rows, cols, list(struct.unpack_from(_F64.format(rows * cols), payload, 8))


def decode_close_step(payload):
    if len(payload) < 4:
        raise ValueError("CloseStep payload too short")
    (n,) = _U32.unpack_from(payload, 0)
    expected = 4 + 16 * n
    if len(payload) != expected:
        raise _mismatch("CloseStep", expected, len(payload))
    flags = list(struct.unpack_from(_I32.format(n), payload, 4))
    actions = list(struct.unpack_from(_I32.format(n), payload, 4 + 4 * n))
    ratios = list(struct.unpack_from(_F64.format(n), payload, 4 + 8 * n))
    return flags, actions, ratios


def decode_vec_mat_f64(payload):
    if len(payload) < 4:
        raise ValueError("VecMatF64 payload too short")
    (n,) = _U32.unpack_from(payload, 0)
    header_end = 12 + 8 * n
    if len(payload) < header_end:
        raise ValueError("VecMatF64 missing matrix header")
    rows, cols = struct.unpack_from("<II", payload, 4 + 8 * n)
    expected = header_end + 8 * rows * cols
    if len(payload) != expected:
        raise _mismatch("VecMatF64", expected, len(payload))
    vec = list(struct.unpack_from(_F64.format(n), payload, 4))
    data = list(struct.unpack_from(_F64.format(rows * cols), payload, header_end))
    return vec, (rows, cols, data)


# --- module-function level -----------------------------------------------------------------------


def _vector(values):
    return np.array(values, dtype=np.float64).reshape(len(values))


def _matrix(rows, cols, data):
    if rows == 0:
        return np.empty((0, 0), dtype=np.float64)
    return np.array(data, dtype=np.float64).reshape(rows, cols)


def decode_vec_f64_py(payload):
    return _vector(decode_vec_f64(payload))


def decode_mat_f64_py(payload):
    return _matrix(*decode_mat_f64(payload))


def decode_close_step_py(payload):
    flags, actions, ratios = decode_close_step(payload)
    return (
        np.array(flags, dtype=np.int32).reshape(len(flags)),
        np.array(actions, dtype=np.int32).reshape(len(actions)),
        _vector(ratios),
    )


def decode_vec_mat_f64_py(payload):
    vec, mat = decode_vec_mat_f64(payload)
    return _vector(vec), _matrix(*mat)


# The encoders take arrays that already pass the argument rules.


def encode_vec_f64_py(arr):
    return list(encode_vec_f64(arr.tolist()))


def encode_mat_f64_py(mat):
    rows, cols = mat.shape
    return list(encode_mat_f64(rows, cols, mat.ravel(order="C").tolist()))


def encode_close_step_py(flags, actions, ratios):
    return list(encode_close_step(flags.tolist(), actions.tolist(), ratios.tolist()))
