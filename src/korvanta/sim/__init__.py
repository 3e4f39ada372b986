"""A local simulator of the broker gateway's side of the API socket protocol.

It serves the real `ib_async` client on loopback: the handshake and startup requests,
contract details (any plausible stock symbol too), synthetic historical bars, the account's
weeks of executions with commission reports and the positions they leave, and fault
switches for tests.  Run it with `python -m korvanta.sim --port 4002`.
"""

from .book import Book, FillPlan, FutureRoot, Instrument
from .server import Fault, GatewaySim

__all__ = ["Book", "Fault", "FillPlan", "FutureRoot", "GatewaySim", "Instrument"]
