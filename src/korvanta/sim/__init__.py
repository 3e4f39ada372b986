"""A local simulator of the broker gateway's side of the API socket protocol.

It serves the real `ib_async` client on loopback: the handshake and startup requests,
contract details, synthetic historical bars, the account's executions with commission
reports, and fault switches for tests.  Run it with `python -m korvanta.sim --port 4002`.
"""

from .book import Book, FillSpec, FutureRoot, Instrument
from .server import Fault, GatewaySim

__all__ = ["Book", "Fault", "FillSpec", "FutureRoot", "GatewaySim", "Instrument"]
