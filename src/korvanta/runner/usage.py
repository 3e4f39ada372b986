"""Usage texts for `help` and `-h`: read from the files installed beside the command modules.

A command module built with a usage file (`<word>.usage.txt` beside it, the very text its
command class carries as docstring) is described without importing it, so help answers at
once instead of after pandas and the gateway client load. A module without one is imported
and its command classes' docstrings are used.
"""

import pkgutil
import re
import textwrap
from pathlib import Path

import korvanta.cmds

HELP_WORDS = ("help", "?")
HELP_OPTIONS = ("-h", "--help")
USAGE_SUFFIX = ".usage.txt"
NO_USAGE = "(no usage text)"
# Under its command's name; the shipped usage texts are up to 78 columns wide, and help must
# fit an 80-column terminal.
HELP_INDENT = "  "

SHELL_HELP = ("In the shell: help [command], connect [HOST:PORT], disconnect, status, clear,\n"
              "set [NAME VALUE] (rows, format, out, tz, rth, chart, chart-size, ma, ema, vwap,\n"
              "prev-close, fills, source, watch), quit (or exit, Ctrl-D).\n"
              "`command -h` shows one command's usage; options (--rows 5) may end a line.")


# What the runner adds to a command's own words, said under its usage text.
RUNNER_NOTES = {
    "kline": "Several symbols: kline AAPL,MSFT,TSLA day 5 fetches them side by side over\n"
             "one connection and shows each in turn (--out, --format: one file with a symbol\n"
             "column). --watch keeps intraday bars current from the gateway's updates until\n"
             "Ctrl-C: kline AAPL 1m 30 --watch --chart.",
    "executions": "A comma list is several symbols: executions aapl,msft.",
    "pnl": "A comma list is several symbols: pnl aapl,msft.",
}


def help_requested(words: list[str]) -> bool:
    """`help ...`, `? ...`, or a command with -h/--help among its words."""
    return bool(words) and (words[0].lower() in HELP_WORDS or any(w in HELP_OPTIONS for w in words[1:]))


def cleandoc(text: str) -> str:
    """`inspect.cleandoc`, without importing inspect: the first line stripped, the rest dedented."""
    first, _, rest = text.expandtabs().partition("\n")
    return "\n".join([first.strip(), textwrap.dedent(rest)]).strip("\n").rstrip()


def command_modules() -> dict[str, Path | None]:
    """Every command module under the categories, by dotted name, with its usage file if it has one.

    Found on disk, without importing a module.
    """
    found: dict[str, Path | None] = {}
    for root in map(Path, korvanta.cmds.__path__):
        for category in pkgutil.iter_modules([str(root)]):
            if not category.ispkg:
                continue
            folder = root / category.name
            for module in pkgutil.iter_modules([str(folder)]):
                if not module.ispkg:
                    text = folder / (module.name + USAGE_SUFFIX)
                    found[f"korvanta.cmds.{category.name}.{module.name}"] = text if text.is_file() else None
    return found


def _registered() -> dict[str, type]:
    """Command word -> class, after importing the modules that have no usage file."""
    import importlib

    from korvanta.cmds.base import COMMANDS

    for name, path in command_modules().items():
        if path is None:
            try:
                importlib.import_module(name)
            except Exception:
                continue  # the runner reports a module that cannot load when a command runs
    return dict(COMMANDS)


def usage_of(word: str) -> str | None:
    """The usage text of the command `word`; None for no such command."""
    word = word.lower()
    for name, path in command_modules().items():
        if path is not None and name.rsplit(".", 1)[1] == word:
            return cleandoc(path.read_text())
    cls = _registered().get(word)
    return None if cls is None else cleandoc(cls.__doc__ or NO_USAGE)


def all_usages() -> dict[str, str]:
    """Every command's usage text, under its words ("kline", or "ls, list" for one class under two)."""
    modules = command_modules()
    texts = {name.rsplit(".", 1)[1]: cleandoc(path.read_text()) for name, path in modules.items() if path}
    if any(path is None for path in modules.values()) or not texts:
        classes: dict[type, list[str]] = {}
        for word, cls in sorted(_registered().items()):
            if word not in texts:
                classes.setdefault(cls, []).append(word)
        texts.update({", ".join(names): cleandoc(cls.__doc__ or NO_USAGE) for cls, names in classes.items()})
    return dict(sorted(texts.items()))


def keyword_lines(word: str, text: str) -> list[str]:
    """The command's keywords that its usage text leaves out (words.KEYWORDS), a line each, all its
    spellings first."""
    from .words import KEYWORDS

    missing = [keyword for keyword in KEYWORDS.get(word, ())
               if not any(re.search(rf"(?<![\w:]){re.escape(w)}\b", text) for w in keyword.words)]
    if not missing:
        return []
    spellings = [", ".join(keyword.words) for keyword in missing]
    width = max(map(len, spellings))
    return ["", "Keywords (any case):"] + [f"    {words:<{width}}  {keyword.meaning}"
                                           for words, keyword in zip(spellings, missing)]


def show_help(words: list[str]) -> list[str]:
    """Print the usage texts of the commands named in `words` (all when empty); the unknown words."""
    if words:
        texts = {word.lower(): usage_of(word) for word in words}
    else:
        texts = all_usages()
    for names, text in texts.items():
        if text is not None:
            word = names.split(",")[0]
            note = ["", RUNNER_NOTES[word]] if word in RUNNER_NOTES else []
            text = "\n".join([text, *keyword_lines(word, text), *note])
            print(names)
            print(textwrap.indent(text, HELP_INDENT), end="\n\n")
    if not words:
        print(SHELL_HELP)
    return [word for word, text in texts.items() if text is None]
