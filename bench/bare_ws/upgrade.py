"""The opening handshake in the server's role (RFC 6455, section 4.2): the HTTP upgrade request is
checked, its Origin matched against the same allow-list the module uses, and answered with 101, 403,
426 or 400."""

import base64
import binascii
import hashlib

ACCEPT_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
# An entry admits an origin equal to it, or continuing right after it with ":" (a port) and nothing
# else, so that "http://localhost.evil.example" is refused.
ALLOWED_ORIGINS = ("http://127.0.0.1", "http://localhost", "https://127.0.0.1", "https://localhost",
                   "https://tarnel.app", "https://beta.tarnel.app")
MAX_REQUEST_HEAD = 16 * 1024

FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\n\r\n"
BAD_REQUEST = b"HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n"
WRONG_VERSION = (b"HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\nConnection: close\r\n"
                 b"Content-Length: 0\r\n\r\n")


def origin_allowed(origin):
    """Whether the value of the request's first Origin field (None without one) may open the link.
    Clients that are not browsers send no origin and pass; a value with a byte outside tab and 32..126
    counts as none."""
    if origin is None or any(c != "\t" and not " " <= c <= "~" for c in origin):
        return True
    origin = origin.rstrip("/")
    if not origin:
        return True
    return any(origin == entry or origin.startswith(entry + ":") for entry in ALLOWED_ORIGINS)


def accept_key(key):
    return base64.b64encode(hashlib.sha1(key.encode("ascii") + ACCEPT_GUID).digest()).decode("ascii")


def _tokens(values):
    return {token.strip().lower() for value in values for token in value.split(",")}


def answer(head):
    """The reply to a request head (the bytes up to and including the blank line), and whether the
    WebSocket is open after it."""
    lines = head.decode("latin-1").split("\r\n")
    request = lines[0].split(" ")
    if len(request) != 3 or request[0] != "GET" or not request[2].startswith("HTTP/1.") or request[2] == "HTTP/1.0":
        return BAD_REQUEST, False
    fields = {}
    for line in lines[1:]:
        if not line:
            continue
        name, colon, value = line.partition(":")
        if not colon:
            return BAD_REQUEST, False
        fields.setdefault(name.strip().lower(), []).append(value.strip(" \t"))
    keys = fields.get("sec-websocket-key", [])
    try:
        key_ok = len(keys) == 1 and len(base64.b64decode(keys[0], validate=True)) == 16
    except binascii.Error:
        key_ok = False
    if ("upgrade" not in _tokens(fields.get("connection", [])) or "websocket" not in _tokens(fields.get("upgrade", []))
            or not key_ok):
        return BAD_REQUEST, False
    if fields.get("sec-websocket-version") != ["13"]:
        return WRONG_VERSION, False
    if not origin_allowed(fields.get("origin", [None])[0]):
        return FORBIDDEN, False
    return (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            b"Sec-WebSocket-Accept: " + accept_key(keys[0]).encode("ascii") + b"\r\n\r\n"), True
