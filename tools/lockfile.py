"""tools/lockfile.py: reads, writes and checks requirements.lock.txt, the hash-pinned lock.

The lock is a pip requirements file that both pip and uv install from directly with
--require-hashes: one `name==version` line per package with the hashes of its files.  It
names no download address, so an install goes through whatever index the installer is set
up for, and the hashes still make it the same files.

    python tools/lockfile.py wanted PYPROJECT        what to lock, one requirement a line
    python tools/lockfile.py write PYLOCK LOCK       a resolved pylock.toml as the lock
    python tools/lockfile.py pick LOCK NAME          one package's lines, to install it alone
    python tools/lockfile.py check PYPROJECT LOCK    pyproject.toml's ranges the lock misses
    python tools/lockfile.py changes OLD NEW         packages added, removed or moved
"""

from __future__ import annotations

import datetime
import re
import sys
import tomllib
from dataclasses import dataclass
from pathlib import Path

try:
    from packaging.requirements import Requirement
except ImportError:  # a venv that holds only pip so far
    from pip._vendor.packaging.requirements import Requirement

# Installed from the lock like the rest, so a fresh machine installs with the same tools.
INSTALLERS = ["pip", "uv"]

HEADER = """\
# The versions korvanta is built and tested with on CPython 3.14, Linux x86-64, each with
# the hash of its file: the dependencies of the package and of every extra, the build
# tools, and pip and uv, which install them.  tools/in-env installs exactly these;
# `tools/in-env tools/lock` refreshes them from pyproject.toml's ranges.  Resolved {date}.
"""


@dataclass(frozen=True)
class Pin:
    name: str
    version: str
    hashes: tuple[str, ...]


class LockError(ValueError):
    """A lock file that is not one `name==version --hash=...` entry per package."""


def normalize(name: str) -> str:
    return re.sub(r"[-_.]+", "-", name).lower()


def wanted(pyproject: dict) -> list[str]:
    """Everything tools/in-env installs: build tools, dependencies, every extra, installers."""
    project = pyproject["project"]
    found = list(pyproject["build-system"]["requires"]) + list(project["dependencies"])
    for extra in project.get("optional-dependencies", {}).values():
        found += extra
    return found + INSTALLERS


def read_pins(text: str, source: str = "the lock") -> dict[str, Pin]:
    pins: dict[str, Pin] = {}
    for number, entry in _entries(text):
        words = entry.split()
        name, equals, version = words[0].partition("==")
        hashes = tuple(word.removeprefix("--hash=") for word in words[1:])
        if not equals or not name or not version or any(
            not word.startswith("--hash=") or ":" not in word for word in words[1:]
        ):
            raise LockError(f"{source}, line {number}: not `name==version --hash=...`: {entry}")
        if not hashes:
            raise LockError(f"{source}, line {number}: {words[0]} has no hash")
        key = normalize(name)
        if key in pins:
            raise LockError(f"{source}, line {number}: {name} is pinned twice")
        pins[key] = Pin(name, version, hashes)
    return pins


def _entries(text: str):
    """(first line number, entry) with continuation lines joined and comments dropped."""
    parts: list[str] = []
    start = 0
    for number, line in enumerate(text.splitlines(), 1):
        line = re.sub(r"(^|\s)#.*", "", line).rstrip()
        if not parts:
            start = number
        continued = line.endswith("\\")
        parts.append(line.removesuffix("\\").strip())
        if not continued:
            entry = " ".join(part for part in parts if part)
            parts = []
            if entry:
                yield start, entry
    if any(parts):
        yield start, " ".join(part for part in parts if part)


def pins_from_pylock(pylock: dict) -> dict[str, Pin]:
    """The file each package of a resolved pylock.toml chose, without its address."""
    pins = {}
    for package in pylock["packages"]:
        files = package.get("wheels", []) + ([package["sdist"]] if "sdist" in package else [])
        hashes = tuple(
            f"{algorithm}:{digest}"
            for dist in files
            for algorithm, digest in sorted(dist.get("hashes", {}).items())
        )
        if not hashes:
            raise LockError(f"the resolver gave no file hash for {package['name']}")
        pins[normalize(package["name"])] = Pin(package["name"], package["version"], hashes)
    return pins


def render(pins: dict[str, Pin], date: datetime.date) -> str:
    return HEADER.format(date=date.isoformat()) + "".join(
        render_pin(pins[key]) for key in sorted(pins))


def render_pin(pin: Pin) -> str:
    words = [f"{pin.name}=={pin.version}"] + [f"--hash={digest}" for digest in pin.hashes]
    return " \\\n    ".join(words) + "\n"


def unmet(requirements: list[str], pins: dict[str, Pin]) -> list[str]:
    """The requirements (for this interpreter) that no pinned version satisfies."""
    missed = []
    for text in requirements:
        requirement = Requirement(text)
        if requirement.marker is not None and not requirement.marker.evaluate():
            continue
        pin = pins.get(normalize(requirement.name))
        if pin is None:
            missed.append(f"{text} (not in the lock)")
        elif not requirement.specifier.contains(pin.version, prereleases=True):
            missed.append(f"{text} (the lock has {pin.version})")
    return missed


def changes(old: dict[str, Pin], new: dict[str, Pin]) -> list[str]:
    lines = []
    for key in sorted(old.keys() | new.keys()):
        before, after = old.get(key), new.get(key)
        if before is None:
            lines.append(f"  + {after.name} {after.version}")
        elif after is None:
            lines.append(f"  - {before.name} {before.version}")
        elif before.version != after.version:
            lines.append(f"    {after.name} {before.version} -> {after.version}")
        elif before.hashes != after.hashes:
            lines.append(f"    {after.name} {after.version} (other file)")
    return lines


def main(argv: list[str]) -> int:
    command, *paths = argv
    if command == "wanted":
        print("\n".join(wanted(tomllib.loads(Path(paths[0]).read_text()))))
    elif command == "write":
        pins = pins_from_pylock(tomllib.loads(Path(paths[0]).read_text()))
        Path(paths[1]).write_text(render(pins, datetime.date.today()))
    elif command == "pick":
        pins = read_pins(Path(paths[0]).read_text(), paths[0])
        pin = pins.get(normalize(paths[1]))
        if pin is None:
            return 1
        print(render_pin(pin), end="")
    elif command == "check":
        missed = unmet(wanted(tomllib.loads(Path(paths[0]).read_text())),
                       read_pins(Path(paths[1]).read_text(), paths[1]))
        for line in missed:
            print(line)
        return 1 if missed else 0
    elif command == "changes":
        old, new = (read_pins(Path(path).read_text(), path) for path in paths)
        print("\n".join(changes(old, new) or ["  (no change)"]))
    else:
        raise SystemExit(f"unknown command {command!r}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except LockError as error:
        sys.exit(f"tools/lockfile.py: {error}")
