"""Length-prefixed, NUL-separated messages: the gateway's half of the client's framing."""

import asyncio
import struct

# The client opens with these four bytes before its framed version range.
HANDSHAKE_MAGIC = b"API\0"

# No request the client sends comes near this; a larger prefix means a broken stream.
MAX_MESSAGE_BYTES = 1 << 20


class ProtocolError(Exception):
    """The peer sent bytes that are not a message of the API protocol."""


def as_field(value) -> str:
    """One field as the client's decoder reads it back."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, float):
        # repr keeps every digit, so a price survives the round trip through float()
        return repr(value)
    return str(value)


def encode(fields) -> bytes:
    """A ">I" length prefix, then each field followed by a NUL, as `Client._onSocketHasData` splits it."""
    payload = "".join(as_field(f) + "\0" for f in fields).encode()
    return struct.pack(">I", len(payload)) + payload


async def read_message(reader: asyncio.StreamReader) -> list[str]:
    """The fields of the next framed message; IncompleteReadError at end of stream."""
    head = await reader.readexactly(4)
    (size,) = struct.unpack(">I", head)
    if size > MAX_MESSAGE_BYTES:
        raise ProtocolError(f"message of {size} bytes announced")
    body = await reader.readexactly(size)
    fields = body.decode(errors="backslashreplace").split("\0")
    # requests end with a NUL, which leaves one empty field; the version range has none
    if len(fields) > 1 and fields[-1] == "":
        fields.pop()
    return fields
