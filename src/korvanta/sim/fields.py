"""A request's fields read the way the gateway parses them, and the error answers it sends instead of data.

The gateway answers a request it cannot read with error 320, one it reads but refuses with
321 (ib_async takes that one for a warning and lets the request wait out its own timeout), and
one it fails to carry out with 322.  Text from the request that an error repeats is shortened,
so a hostile field is not echoed back whole.
"""

import datetime as dt
import math
import re
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

INT_MAX = 2**31 - 1

_INT = re.compile(r"-?[0-9]{1,10}", re.ASCII)
_FLOAT = re.compile(r"[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]{1,3})?", re.ASCII)
_STAMP = re.compile(r"([0-9]{8})[ -]([0-9]{2}:[0-9]{2}:[0-9]{2})(?: ([A-Za-z][A-Za-z0-9_+\-/]{0,63}))?", re.ASCII)


def timestamp(text: str, zone: dt.tzinfo) -> dt.datetime:
    """"yyyymmdd hh:mm:ss [ZONE]" in `zone` where it names none, or "yyyymmdd-hh:mm:ss" in UTC,
    as an aware datetime; ValueError for anything else."""
    m = _STAMP.fullmatch(text.strip())
    if not m:
        raise ValueError(text)
    if "-" in m[0]:
        zone = dt.UTC
    elif m[3]:
        try:
            zone = ZoneInfo(m[3])
        except (ZoneInfoNotFoundError, OSError):
            raise ValueError(text) from None
    return dt.datetime.strptime(m[1] + m[2], "%Y%m%d%H:%M:%S").replace(tzinfo=zone)


class GatewayError(Exception):
    """A request the gateway answers with an error message: the code and text it sends."""

    def __init__(self, code: int, message: str):
        super().__init__(code, message)
        self.code = code
        self.message = message


def shown(text: str, limit: int = 40) -> str:
    """Request text as an error message repeats it: at most `limit` characters."""
    return text if len(text) <= limit else text[:limit - 3] + "..."


def unreadable(what: str) -> GatewayError:
    return GatewayError(320, f"Error reading request:Unable to parse data. {what}")


def invalid(cause: str, tag: str = "") -> GatewayError:
    """Error 321 with its cause; historical requests carry the tag 'bP' in the gateway's text."""
    where = f".-'{tag}' :" if tag else ":"
    return GatewayError(321, f"Error validating request{where} cause - {cause}")


def failed(cause: str) -> GatewayError:
    return GatewayError(322, f"Error processing request: cause - {cause}")


class Fields:
    """The fields of one request; `reqId` is the request id once it has been read (-1 before)."""

    def __init__(self, fields: list[str]):
        self.fields = fields
        self.reqId = -1

    def __len__(self) -> int:
        return len(self.fields)

    def text(self, at: int) -> str:
        if at >= len(self.fields):
            raise unreadable(f"The message ends before field {at}.")
        return self.fields[at]

    def integer(self, at: int) -> int:
        """A 32-bit integer; empty reads as 0."""
        text = self.text(at)
        if not text:
            return 0
        if not _INT.fullmatch(text) or abs(int(text)) > INT_MAX:
            raise unreadable(f"For input string: {shown(text)!r}")
        return int(text)

    def number(self, at: int) -> float:
        """A finite double; empty reads as 0."""
        text = self.text(at)
        if not text:
            return 0.0
        value = float(text) if _FLOAT.fullmatch(text) else math.nan
        if not math.isfinite(value):
            raise unreadable(f"For input string: {shown(text)!r}")
        return value

    def flag(self, at: int) -> bool:
        return self.integer(at) != 0

    def req_id(self, at: int) -> int:
        self.reqId = self.integer(at)
        return self.reqId
