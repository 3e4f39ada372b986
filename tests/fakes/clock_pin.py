"""With FAKE_NOW=ISO-INSTANT, a child process of the suite starts with its clock at that
instant (time-machine, C level included) and lets it run on from there: the test's pinned
clock, handed down. Imported by the fakes' sitecustomize modules."""

import datetime as dt
import os

_now = os.environ.get("FAKE_NOW")
if _now:
    import time_machine

    time_machine.travel(dt.datetime.fromisoformat(_now), tick=True).start()
