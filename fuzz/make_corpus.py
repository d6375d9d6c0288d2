"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/): the byte-exact examples of the
wire format and of the upgrade, plus their edge cases. Run it again after changing an example; the files
are committed."""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def h(text):
    return bytes.fromhex(text)


def frame_input(frame, seq=0, fn_id=0, mode=0):
    """The frame target's input: mode byte, expected seq and fnId, then the frame."""
    return bytes([mode]) + struct.pack("<IH", seq, fn_id) + frame


def upgrade(origin=None, key="dGhlIHNhbXBsZSBub25jZQ==", method="GET", version="HTTP/1.1", extra=()):
    lines = [f"{method} /chat {version}", "Host: 127.0.0.1:8765", "Upgrade: websocket", "Connection: Upgrade",
             f"Sec-WebSocket-Key: {key}", "Sec-WebSocket-Version: 13", *extra]
    if origin is not None:
        lines.append(f"Origin: {origin}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


REQUEST = h("01 01 00 00 01 00 00 00 02 00 00 00 00 00 00 00")
RESPONSE = h("01 02 00 00 01 00 00 00 02 00 00 00 02 00 00 00 41 42")
ERROR_BODY = h("03 00 01 00 02 00 00 00 6E 6F")
ERROR_RESPONSE = h("01 03 00 00 01 00 00 00 02 00 00 00") + struct.pack("<I", len(ERROR_BODY)) + ERROR_BODY
ECHO = h("01 04 00 00 09 00 00 00 0C 00 00 00 03 00 00 00 70 69 6E")

CORPORA = {
    "vec_f64": {
        "one_value": h("01 00 00 00 00 00 00 00 00 00 F0 3F"),
        "empty": h("00 00 00 00"),
        "three_bytes": h("00 00 00"),
        "n2_19_bytes": struct.pack("<I", 2) + bytes(15),
        "n2_21_bytes": struct.pack("<I", 2) + bytes(17),
        "nan_inf_negzero": struct.pack("<I", 3) + h("01 00 00 00 00 00 F8 7F") + struct.pack("<dd", float("inf"), -0.0),
    },
    "mat_f64": {
        "one_by_two": h("01 00 00 00 02 00 00 00 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 00 C0"),
        "rows0_cols5": struct.pack("<II", 0, 5),
        "rows5_cols0": struct.pack("<II", 5, 0),
        "seven_bytes": bytes(7),
        "huge_header": struct.pack("<II", 2**32 - 1, 2**32 - 1),
        "two_by_three": struct.pack("<II6d", 2, 3, 1, 2, 3, 4, 5, 6),
    },
    "close_step": {
        "one_entry": h("01 00 00 00 07 00 00 00 02 00 00 00 00 00 00 00 00 00 E0 3F"),
        "empty": h("00 00 00 00"),
        "three_bytes": bytes(3),
        "two_entries": struct.pack("<I2i2i2d", 2, -1, 1, 0, 2, 0.25, 1.0),
        "short_by_one": h("01 00 00 00 07 00 00 00 02 00 00 00 00 00 00 00 00 00 E0"),
    },
    "vec_mat_f64": {
        "vec_and_one_by_one": h("01 00 00 00 00 00 00 00 00 00 08 40 01 00 00 00 01 00 00 00 00 00 00 00 00 00 10 40"),
        "missing_matrix_header": struct.pack("<Id", 1, 3.0) + bytes(7),
        "short_by_one": h("01 00 00 00 00 00 00 00 00 00 08 40 01 00 00 00 01 00 00 00 00 00 00 00 00 00 10"),
        "three_bytes": bytes(3),
        "empty_both": struct.pack("<III", 0, 0, 0),
    },
    "frame": {
        "request_ignored": frame_input(REQUEST, 1, 2),
        "response_matching": frame_input(RESPONSE, 1, 2),
        "response_other_seq": frame_input(RESPONSE, 7, 2),
        "response_other_fn": frame_input(RESPONSE, 1, 3),
        "error_response": frame_input(ERROR_RESPONSE, 1, 2),
        "echo_request": frame_input(ECHO, 1, 2),
        "fifteen_bytes": frame_input(bytes(15)),
        "declares_8_in_20": frame_input(h("01 02 00 00 01 00 00 00 02 00 00 00 08 00 00 00") + bytes(4), 1, 2),
        "declares_max": frame_input(h("01 02 00 00 01 00 00 00 02 00 00 00 FF FF FF FF"), 1, 2),
        "version_2_echo": frame_input(h("02 04 00 00 01 00 00 00 02 00 00 00 00 00 00 00"), 1, 2),
        "kind_200": frame_input(h("01 C8 00 00 01 00 00 00 02 00 00 00 00 00 00 00"), 1, 2),
        "response_from_frame": frame_input(RESPONSE, mode=2),
    },
    "error_body": {
        "err3_sub1_no": ERROR_BODY,
        "seven_bytes": bytes(7),
        "declares_100_has_10": struct.pack("<HHI", 3, 1, 100) + b"0123456789",
        "invalid_utf8": struct.pack("<HHI", 1, 2, 6) + h("61 C3 28 E2 82 FF"),
        "trailing_bytes": ERROR_BODY + b"xyz",
    },
    "origin": {
        "absent": b"\x00",
        "empty": b"\x01",
        "only_slashes": b"\x01///",
        "control_byte": b"\x01http://example.org\x01",
        "localhost_5173": b"\x01http://localhost:5173",
        "loopback_8080": b"\x01http://127.0.0.1:8080",
        "https_localhost_slash": b"\x01https://localhost/",
        "null": b"\x01null",
        "example_org": b"\x01http://example.org",
        "upper_case": b"\x01HTTP://LOCALHOST",
        "example_org_slashes": b"\x01http://example.org///",
        "loopback_10": b"\x01http://127.0.0.10",
        "localhost_evil": b"\x01http://localhost.evil.example",
        "hosted": b"\x01https://tarnel.app",
        "hosted_beta_port": b"\x01https://beta.tarnel.app:443",
    },
    "upgrade_request": {
        "rfc_example": upgrade(),
        "with_origin": upgrade(origin="http://localhost:5173"),
        "refused_origin": upgrade(origin="http://example.org"),
        "http_1_0": upgrade(version="HTTP/1.0"),
        "post": upgrade(method="POST"),
        "plain_get": b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
        "two_origins": upgrade(origin="http://localhost", extra=("oRiGiN: http://example.org",)),
        "version_8": upgrade().replace(b"Version: 13", b"Version: 8"),
        "token_list": upgrade().replace(b"Connection: Upgrade", b"Connection: keep-alive, Upgrade"),
        "with_body": upgrade(extra=("Content-Length: 3",)) + b"abc",
        "half_request": b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n",
    },
}


def main():
    for target, seeds in CORPORA.items():
        directory = HERE / "corpus" / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
