"""Round-trips NumPy arrays through the payload formats that travel between the trainer and the page.

Run with `make demo`. It needs no engine and no browser: it shows what the bytes on the wire look like.
"""
import numpy as np

import py_engine_tarnel as tarnel


def show(title: str, payload: list[int]) -> bytes:
    data = bytes(payload)
    preview = data[:32].hex(" ")
    print(f"{title:<34} {len(data):>6} bytes  {preview}{' ...' if len(data) > 32 else ''}")
    return data


def main() -> None:
    rng = np.random.default_rng(7)

    snapshot = rng.normal(size=16)
    data = show("VecF64 (account snapshot, 16)", tarnel.encode_vec_f64_py(snapshot))
    assert np.array_equal(tarnel.decode_vec_f64_py(data), snapshot)

    candles = np.asfortranarray(rng.normal(100.0, 1.0, size=(4, 5)))  # any memory order works
    data = show("MatF64 (4 candles x 5 columns)", tarnel.encode_mat_f64_py(candles))
    assert np.array_equal(tarnel.decode_mat_f64_py(data), candles)

    flags = np.array([7, 8], dtype=np.int32)
    actions = np.array([2, 1], dtype=np.int32)
    ratios = np.array([0.5, 0.0])
    data = show("CloseStep (2 positions)", tarnel.encode_close_step_py(flags, actions, ratios))
    for got, want in zip(tarnel.decode_close_step_py(data), (flags, actions, ratios)):
        assert np.array_equal(got, want)

    vec = bytes(tarnel.encode_vec_f64_py(snapshot[:3]))
    mat = bytes(tarnel.encode_mat_f64_py(np.ascontiguousarray(candles[:2])))  # a row slice of a Fortran array is strided
    vector, matrix = tarnel.decode_vec_mat_f64_py(vec + mat)
    show("VecMatF64 (3 values + 2x5)", list(vec + mat))
    assert np.array_equal(vector, snapshot[:3]) and np.array_equal(matrix, candles[:2])

    try:
        tarnel.decode_vec_f64_py(bytes(19))
    except ValueError as error:
        print(f"{'a malformed payload is refused:':<34} {error}")
    print("all payloads survived the round trip bit for bit")


if __name__ == "__main__":
    main()
