"""The dependency lock: what tools/in-env installs is exactly the lock, and the lock is sound."""

import datetime
import importlib.metadata
import importlib.util
import os
import re
import sys
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
# The lock tools/in-env installed: the tree's, or the candidate tools/lock is trying.
LOCK = Path(os.environ.get("KORVANTA_LOCK") or ROOT / "requirements.lock.txt")

_spec = importlib.util.spec_from_file_location("lockfile", ROOT / "tools" / "lockfile.py")
lockfile = sys.modules["lockfile"] = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(lockfile)


def pins(**versions):
    return {lockfile.normalize(name): lockfile.Pin(name, version, (f"sha256:{name}",))
            for name, version in versions.items()}


def test_the_environment_holds_exactly_the_lock():
    # tools/in-env says which lock it installed; elsewhere (`pip install .` into a user's
    # own environment) other versions are the user's choice, not a fault.
    if not os.environ.get("KORVANTA_LOCK"):
        pytest.skip("not run through tools/in-env: this environment's versions are its own")
    locked = lockfile.read_pins(LOCK.read_text())
    installed = {lockfile.normalize(dist.metadata["Name"]): dist.version
                 for dist in importlib.metadata.distributions()}
    wrong = [f"{pin.name}: installed {installed.get(key, 'nothing')}, locked {pin.version}"
             for key, pin in locked.items() if installed.get(key) != pin.version]
    extra = sorted(installed.keys() - locked.keys() - {"korvanta"})
    assert wrong == [] and extra == [], f"not the lock: {wrong}; not in the lock: {extra}"


def test_the_lock_satisfies_pyproject_and_names_no_address():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    text = LOCK.read_text()
    locked = lockfile.read_pins(text)
    assert lockfile.unmet(lockfile.wanted(project), locked) == [], "run tools/lock"
    assert all(digest.startswith("sha256:") for pin in locked.values() for digest in pin.hashes)
    assert "://" not in text


def test_rendered_lock_reads_back_with_names_normalized():
    written = pins(ib_async="2.1.0", pandas="3.1.2", **{"scikit-build-core": "1.1.2"})
    written["pandas"] = lockfile.Pin("pandas", "3.1.2", ("sha256:aa", "sha256:bb"))
    text = lockfile.render(written, datetime.date(2026, 12, 8))
    assert "Resolved 2026-12-08" in text
    assert lockfile.read_pins(text) == written
    assert list(lockfile.read_pins(text)) == ["ib-async", "pandas", "scikit-build-core"]


@pytest.mark.parametrize("text, complaint", [
    ("pandas>=2.2 --hash=sha256:aa", "line 1: not `name==version"),
    ("# header\npandas==3.1.2", "line 2: pandas==3.1.2 has no hash"),
    ("six==1.17 \\\n    --hash=aa", "line 1: not `name==version"),
    ("-e .", "line 1: not `name==version"),
    ("Six==1.17 --hash=sha256:aa\nsix==1.16 --hash=sha256:bb", "line 2: six is pinned twice"),
])
def test_malformed_lock_is_refused_with_its_line(text, complaint):
    with pytest.raises(lockfile.LockError, match=re.escape(complaint)):
        lockfile.read_pins(text)


@pytest.mark.parametrize("requirement, locked, missed", [
    ("pandas>=2.2", pins(pandas="3.1.2"), []),
    ("pandas>=3.2", pins(pandas="3.1.2"), ["pandas>=3.2 (the lock has 3.1.2)"]),
    ("ib_async>=2.0", pins(**{"ib-async": "2.1.0"}), []),
    ("pyarrow>=15", pins(pandas="3.1.2"), ["pyarrow>=15 (not in the lock)"]),
    ("mplfinance>=0.12.10b0", pins(mplfinance="0.12.10b0"), []),
    ("yfinance[nospam]>=0.2.50", pins(yfinance="1.7.0"), []),
    ('tomli>=2; python_version < "3.11"', pins(), []),
])
def test_unmet_names_what_the_lock_misses(requirement, locked, missed):
    assert lockfile.unmet([requirement], locked) == missed


def test_wanted_covers_build_tools_every_extra_and_the_installers():
    project = {
        "build-system": {"requires": ["scikit-build-core>=0.10"]},
        "project": {"dependencies": ["pandas>=2.2"],
                    "optional-dependencies": {"test": ["pytest>=8"], "sim": ["exchange-calendars"]}},
    }
    assert lockfile.wanted(project) == [
        "scikit-build-core>=0.10", "pandas>=2.2", "pytest>=8", "exchange-calendars", "pip", "uv"]


def test_resolved_pylock_keeps_versions_and_hashes_but_not_addresses():
    resolved = {"packages": [
        {"name": "six", "version": "1.17.0", "wheels": [
            {"url": "https://index.invalid/six.whl", "hashes": {"sha256": "aa"}}]},
        {"name": "Peewee", "version": "4.5.3", "sdist": {
            "url": "https://index.invalid/peewee.tar.gz", "hashes": {"sha256": "bb"}}},
    ]}
    assert lockfile.pins_from_pylock(resolved) == {
        "six": lockfile.Pin("six", "1.17.0", ("sha256:aa",)),
        "peewee": lockfile.Pin("Peewee", "4.5.3", ("sha256:bb",)),
    }
    with pytest.raises(lockfile.LockError, match="no file hash for six"):
        lockfile.pins_from_pylock({"packages": [{"name": "six", "version": "1", "wheels": [{}]}]})


def test_changes_list_what_a_refresh_moves():
    old = pins(pandas="3.1.2", pytz="2026.6", six="1.17.0", tzdata="2025.3")
    new = pins(pandas="3.2.0", six="1.17.0", tzdata="2025.3", uv="0.13.10")
    new["tzdata"] = lockfile.Pin("tzdata", "2025.3", ("sha256:other",))
    assert lockfile.changes(old, new) == [
        "    pandas 3.1.2 -> 3.2.0", "  - pytz 2026.6", "    tzdata 2025.3 (other file)",
        "  + uv 0.13.10"]
