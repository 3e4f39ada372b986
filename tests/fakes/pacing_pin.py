"""With FAKE_PACING="OVERALL/SECONDS,PER_CONTRACT/SECONDS,IDENTICAL/SECONDS,MARGIN" (counts and
seconds, "60/0.5,5/0.05,1/0.1,0.01"), a child process of the suite keeps those pacing rules
instead of the gateway's, as a simulator started with the same ones enforces them. Imported by
the fakes' sitecustomize modules."""

import os

_rules = os.environ.get("FAKE_PACING")
if _rules:
    from korvanta.gateway import limits

    *windows, margin = _rules.split(",")
    rules = [limits.Rule(int(n), float(s)) for n, s in (w.split("/") for w in windows)]
    limits.PACING = limits.PacingRules(*rules, margin=float(margin))
