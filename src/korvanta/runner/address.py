"""Gateway addresses as typed: HOST:PORT, an IPv6 host in brackets."""


def parse_address(text: str) -> tuple[str, int] | None:
    """HOST:PORT as a pair; empty text means no gateway; ValueError for anything else."""
    if not text:
        return None
    host, sep, port = text.rpartition(":")
    host = host.removeprefix("[").removesuffix("]")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError(f"{text!r} is not HOST:PORT")
    return host, int(port)


def describe(address: tuple[str, int] | None) -> str:
    if address is None:
        return "none"
    host, port = address
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
