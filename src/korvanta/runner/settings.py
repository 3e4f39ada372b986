"""What the runner does with results: table rows, --out, --format, --chart; as options and as the shell's `set` word."""

import argparse
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import Literal

from .charts import DEFAULT_SIZE, picture_format, require_terminal_charts
from .extras import MissingExtra
from .output import TEXT_FORMATS, check_writable, file_format
from .usage import HELP_WORDS

TERMINAL = "terminal"  # the chart setting that draws in the terminal rather than into a file
# Only kline returns bars; a chart of anything else is refused up front.
CHARTED_COMMANDS = ("kline",)
_LARGEST_PICTURE = 10_000


@dataclass(frozen=True)
class ResultSettings:
    """`rows`: "auto" (what fits a terminal; all into a pipe), None (all) or a number of rows.
    `format`: "csv" or "json" prints the records instead of tables; None prints tables.
    `out`: a file the records are written to. `chart`: TERMINAL, a picture file, or None.
    """

    rows: int | None | Literal["auto"] = "auto"
    format: str | None = None
    out: str | None = None
    chart: str | None = None
    chart_size: tuple[int, int] = DEFAULT_SIZE


_current = ResultSettings()


def current() -> ResultSettings:
    return _current


def use(settings: ResultSettings) -> ResultSettings:
    """Make `settings` the ones in force, for the runner and for the tables the commands print."""
    from quodra import frame

    global _current
    _current = settings
    frame.configure(rows=settings.rows, shown=settings.format is None)
    return settings


# ---- one parser per setting, shared by the options and the shell word; ValueError says what is wrong

def parse_rows(text: str) -> int | None | Literal["auto"]:
    word = text.strip().lower()
    if word in ("all", "auto"):
        return None if word == "all" else "auto"
    try:
        rows = int(word)
    except ValueError:
        raise ValueError(f"{text!r} is not a number of rows (nor all, auto)") from None
    if rows < 1:
        raise ValueError(f"{rows} rows: a table shows at least 1")
    return rows


def parse_format(text: str) -> str | None:
    word = text.strip().lower()
    if word == "table":
        return None
    if word not in TEXT_FORMATS:
        raise ValueError(f"{text!r} is not a format; use {', '.join(TEXT_FORMATS)} (or table)")
    return word


def parse_out(text: str) -> str:
    file_format(text)
    check_writable(text)
    return text


def parse_chart(text: str) -> str:
    if text == TERMINAL:
        require_terminal_charts()
        return TERMINAL
    picture_format(text)
    check_writable(text)
    return text


def parse_size(text: str) -> tuple[int, int]:
    width, sep, height = text.lower().partition("x")
    if not sep or not width.strip().isdigit() or not height.strip().isdigit():
        raise ValueError(f"{text!r} is not WIDTHxHEIGHT in pixels, e.g. 1600x900")
    size = int(width), int(height)
    if not all(100 <= side <= _LARGEST_PICTURE for side in size):
        raise ValueError(f"{text}: each side is 100 to {_LARGEST_PICTURE} pixels")
    return size


def _option_type(parse: Callable[[str], object]) -> Callable[[str], object]:
    def convert(text: str) -> object:
        try:
            return parse(text)
        except (ValueError, MissingExtra) as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    convert.__name__ = parse.__name__.removeprefix("parse_")
    return convert


def _looks_like_file(word: str) -> bool:
    return bool(os.path.splitext(word)[1]) or os.sep in word


class _ChartAction(argparse.Action):
    """--chart alone draws in the terminal, --chart FILE.png into a picture.

    argparse hands an optional value the next word whatever it is, so in `--chart kline AAPL`
    it takes the command word; a word that names no file is given back to the command words
    (`use_options`).
    """

    def __call__(self, parser, namespace, value, option_string=None):
        if value is None or not _looks_like_file(value):
            namespace.chart_word = value
            value = TERMINAL
        try:
            setattr(namespace, self.dest, parse_chart(value))
        except (ValueError, MissingExtra) as e:
            parser.error(f"argument --chart: {e}")


def add_options(p: argparse.ArgumentParser) -> None:
    """The runner's options for showing, charting and saving results."""
    group = p.add_argument_group("results")
    rows = group.add_mutually_exclusive_group()
    rows.add_argument("--rows", metavar="N", type=_option_type(parse_rows),
                      help="rows a printed table shows (default: what fits the terminal; all into a pipe or file)")
    rows.add_argument("--all", action="store_true", help="every row of every table")
    group.add_argument("--out", metavar="FILE", type=_option_type(parse_out),
                       help="also write the records (kline bars, execution fills) to FILE: .csv, .json or .parquet")
    group.add_argument("--format", choices=TEXT_FORMATS,
                       help="print the records to stdout as csv or json instead of the tables")
    group.add_argument("--chart", metavar="FILE", nargs="?", action=_ChartAction,
                       help="draw the kline bars as candles: in the terminal after the table, or into FILE.png/.svg")
    group.add_argument("--chart-size", metavar="WxH", type=_option_type(parse_size), default=DEFAULT_SIZE,
                       help=f"pixels of a chart picture (default: {DEFAULT_SIZE[0]}x{DEFAULT_SIZE[1]})")
    p.set_defaults(chart=None, chart_word=None)


def use_options(p: argparse.ArgumentParser, options: argparse.Namespace) -> ResultSettings:
    """Check the result options against each other and the command, then put them in force."""
    if options.chart_word is not None:
        options.words.insert(0, options.chart_word)
    words = options.words[1:] if options.words[:1] == ["--"] else options.words
    command = words[0].lower() if words else None
    if options.chart and command is not None and command not in (*CHARTED_COMMANDS, *HELP_WORDS):
        p.error(f"--chart draws the bars of {' or '.join(CHARTED_COMMANDS)}; {words[0]} returns none")
    rows = None if options.all else options.rows or "auto"
    settings = ResultSettings(rows=rows, format=options.format, out=options.out, chart=options.chart,
                              chart_size=options.chart_size)
    if (why := conflict(settings)) is not None:
        p.error(why)
    return use(settings)


def conflict(settings: ResultSettings) -> str | None:
    """Why `settings` cannot hold together, or None."""
    if settings.chart == TERMINAL and settings.format:
        return "--format prints only the records; a terminal chart would mix into them (write it to a file: --chart FILE.png)"
    return None


# ---- the shell's `set` word

def _shown(settings: ResultSettings) -> list[str]:
    def text(value) -> str:
        if value is None:
            return "off"
        if isinstance(value, tuple):
            return "x".join(map(str, value))
        return str(value)

    shown = {"rows": "all" if settings.rows is None else str(settings.rows),
             "format": settings.format or "table", "out": text(settings.out),
             "chart": "on" if settings.chart == TERMINAL else text(settings.chart),
             "chart-size": text(settings.chart_size)}
    return [f"{name:<11}{value}" for name, value in shown.items()]


def _shell_out(text: str) -> str | None:
    return None if text.lower() == "off" else parse_out(text)


def _shell_chart(text: str) -> str | None:
    word = text.lower()
    if word == "off":
        return None
    return parse_chart(TERMINAL if word == "on" else text)


# shell name: (settings field, parser of the value)
_SHELL_PARSERS: dict[str, tuple[str, Callable[[str], object]]] = {
    "rows": ("rows", parse_rows),
    "format": ("format", parse_format),
    "out": ("out", _shell_out),
    "chart": ("chart", _shell_chart),
    "chart-size": ("chart_size", parse_size),
}
SET_USAGE = "set [rows N|all|auto, format table|csv|json, out FILE|off, chart on|off|FILE, chart-size WxH]"


def set_word(words: Sequence[str]) -> bool:
    """The shell's `set [NAME VALUE]`: show the settings, or change one; False (logged) when refused."""
    # Only the shell says `set`, after everything is loaded; --help must not load the logger.
    from loguru import logger

    if not words:
        print("\n".join(_shown(_current)))
        return True
    name = words[0].lower()
    if name not in _SHELL_PARSERS or len(words) != 2:
        logger.error("Usage: {}", SET_USAGE)
        return False
    field, parse = _SHELL_PARSERS[name]
    try:
        value = parse(words[1])
    except (ValueError, MissingExtra) as e:
        logger.error("set {}: {}", name, e)
        return False
    changed = replace(_current, **{field: value})
    if (why := conflict(changed)) is not None:
        logger.error("set {}: {}", name, why)
        return False
    use(changed)
    return True

