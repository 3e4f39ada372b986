"""Optional dependencies: telling, without importing them, whether the extras a feature needs are installed."""

import importlib.util


class MissingExtra(RuntimeError):
    """A feature needs a package of an optional extra that is not installed."""


def require(module: str, extra: str, purpose: str) -> None:
    """MissingExtra, in one line naming the extra to install, when `module` cannot be imported."""
    if importlib.util.find_spec(module) is None:
        raise MissingExtra(f"{purpose} needs {module}, which is not installed: pip install 'korvanta[{extra}]'")
