"""Put tests/fakes/stall first on PYTHONPATH with FAKE_STALL_IMPORT=NAME: importing NAME then
says "fake: importing NAME stalls" on stderr and takes a minute, so a test can interrupt a
program while it loads. With FAKE_SAY_STARTED set, "fake: python started" on stderr says that
the interpreter has started (it runs the program next)."""

import os
import sys
import time


class _Stall:
    def find_spec(self, name, path=None, target=None):
        if name == os.environ.get("FAKE_STALL_IMPORT"):
            print(f"fake: importing {name} stalls", file=sys.stderr, flush=True)
            # In steps, as an import runs bytecode: one long sleep that a signal reaches just
            # before it starts would not see the signal until it ends.
            for _ in range(600):
                time.sleep(0.1)
        return None


sys.meta_path.insert(0, _Stall())

# tests/fakes comes after this folder on the path; its sitecustomize is shadowed by this one.
import clock_pin  # noqa: E402, F401

if os.environ.get("FAKE_SAY_STARTED"):
    print("fake: python started", file=sys.stderr, flush=True)
