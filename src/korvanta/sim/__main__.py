"""Command line: serve the simulated gateway on 127.0.0.1 until interrupted or its lifetime ends."""

import argparse
import asyncio
import contextlib
import logging
import signal
import sys

from . import calendars
from .server import UPDATE_INTERVAL, Fault, GatewaySim


async def serve(port: int, lifetime: float, answer_time: float = 0.0, update_interval: float = UPDATE_INTERVAL) -> None:
    sim = GatewaySim(update_interval=update_interval)
    if answer_time > 0:
        sim.inject(Fault.delay("historicalData", answer_time, times=None))
    await sim.start(port)
    print(f"korvanta.sim: gateway simulator listening on 127.0.0.1:{sim.port}", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        with contextlib.suppress(NotImplementedError):
            loop.add_signal_handler(sig, stop.set)
    try:
        # stops by itself when the lifetime is over, so a forgotten simulator does not linger
        with contextlib.suppress(TimeoutError):
            await asyncio.wait_for(stop.wait(), lifetime)
    finally:
        await sim.stop()
        served = ", ".join(f"{name} {n}" for name, n in sorted(sim.requests.items())) or "none"
        print(f"korvanta.sim: stopped; requests served: {served}", flush=True)


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(prog="python -m korvanta.sim", description=__doc__)
    parser.add_argument("--port", type=int, default=4002, help="loopback port (0: any free port)")
    parser.add_argument("--lifetime", type=float, default=3600.0, help="seconds until it stops by itself")
    parser.add_argument("--answer-time", type=float, default=0.0,
                        help="seconds each historical-data answer takes, as a gateway's do (default: at once)")
    parser.add_argument("--update-interval", type=float, default=UPDATE_INTERVAL, metavar="SECONDS",
                        help="seconds between the live updates of a forming bar (default: the gateway's pace, "
                             f"{UPDATE_INTERVAL:g})")
    parser.add_argument("--verbose", action="store_true", help="log faults and protocol problems")
    args = parser.parse_args(argv)
    try:
        calendars.require()
    except ImportError as e:
        print(e, file=sys.stderr)
        sys.exit(1)
    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    if args.update_interval <= 0:
        parser.error("--update-interval: a number of seconds above 0")
    asyncio.run(serve(args.port, args.lifetime, args.answer_time, args.update_interval))


if __name__ == "__main__":
    main()
