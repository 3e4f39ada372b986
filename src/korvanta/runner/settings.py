"""What the runner does with results: table rows, --out, --format, --tz, --rth, --chart and its overlays;
as options and as the shell's `set` word."""

import argparse
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import Literal

from .charts import DEFAULT_SIZE, SMALLEST_SIZE, Overlays, picture_format, require_terminal_charts
from .charts.picture import check_size
from .extras import MissingExtra
from .output import TEXT_FORMATS, check_writable, file_format
from .usage import HELP_WORDS

TERMINAL = "terminal"  # the chart setting that draws in the terminal rather than into a file
# Where kline takes its bars from: the gateway falling back to yfinance, or one of them alone.
SOURCES = ("auto", "gateway", "yfinance")
# kline's bars are drawn as candles, pnl's journal as daily bars; a chart of anything else is refused up front.
CHARTED_COMMANDS = ("kline", "pnl")
# The command whose bars --watch keeps current.
WATCHED_COMMAND = "kline"
# The longest moving average: a year and a half of daily bars.
_LONGEST_AVERAGE = 400


@dataclass(frozen=True)
class ResultSettings:
    """`rows`: "auto" (what fits a terminal; all into a pipe), None (all) or a number of rows.
    `format`: "csv" or "json" prints the records instead of tables; None prints tables.
    `out`: a file the records are written to. `tz`: the zone times are shown and written in
    (None: the exchange's for bars, the display zone for fills). `rth`: only the intraday bars of
    regular hours. `chart`: TERMINAL, a picture file, or None; `overlays`: what a chart draws
    over the candles. `source`: where kline takes its bars from, one of SOURCES. `watch`: after
    kline's intraday bars are shown, keep them current from the gateway's updates (watch.py).
    """

    rows: int | None | Literal["auto"] = "auto"
    format: str | None = None
    out: str | None = None
    tz: str | None = None
    rth: bool = False
    chart: str | None = None
    chart_size: tuple[int, int] = DEFAULT_SIZE
    overlays: Overlays = Overlays()
    source: str = "auto"
    watch: bool = False

    @property
    def reshaped(self) -> bool:
        """Whether the bars differ from what kline printed (other times, fewer bars)."""
        return self.rth or self.tz is not None


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


def parse_source(text: str) -> str:
    word = text.strip().lower()
    if word not in SOURCES:
        raise ValueError(f"{text!r} is not a source; use {', '.join(SOURCES)}")
    return word


def parse_size(text: str) -> tuple[int, int]:
    width, sep, height = text.lower().partition("x")
    if not sep or not width.strip().isdigit() or not height.strip().isdigit():
        raise ValueError(f"{text!r} is not WIDTHxHEIGHT in pixels, e.g. 1600x900")
    return check_size((int(width), int(height)))


def parse_tz(text: str) -> str:
    """A time zone by its name (America/Chicago, UTC, Europe/London)."""
    from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

    name = text.strip()
    try:
        ZoneInfo(name)
    except (ZoneInfoNotFoundError, ValueError):
        raise ValueError(f"{text!r} is not a time zone (e.g. America/New_York, America/Chicago, UTC)") from None
    return name


def parse_lengths(text: str) -> tuple[int, ...]:
    """Moving-average lengths in bars: 20 or 20,50,200."""
    words = [word.strip() for word in text.split(",")]
    if not all(word.isdigit() for word in words):
        raise ValueError(f"{text!r} is not a length in bars, nor lengths joined by commas (e.g. 20,50)")
    lengths = tuple(dict.fromkeys(int(word) for word in words))
    if not all(2 <= n <= _LONGEST_AVERAGE for n in lengths):
        raise ValueError(f"{text}: an average is over 2 to {_LONGEST_AVERAGE} bars")
    return lengths


def parse_switch(text: str) -> bool:
    word = text.strip().lower()
    if word not in ("on", "off"):
        raise ValueError(f"{text!r}: on or off")
    return word == "on"


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
    (`use_options`), or, where the line's options are told from its words first, not taken
    (`accepts`).
    """

    accepts = staticmethod(_looks_like_file)

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
    group.add_argument("--tz", metavar="ZONE", type=_option_type(parse_tz),
                       help="times in this zone, in tables, files and charts (default: the exchange's for bars)")
    group.add_argument("--rth", action="store_true",
                       help="only the intraday bars of the regular session, by the exchange's calendar")
    group.add_argument("--chart", metavar="FILE", nargs="?", action=_ChartAction,
                       help="draw the kline bars as candles (pnl: the daily net): in the terminal after the table, "
                            "or into FILE.png/.svg")
    group.add_argument("--chart-size", metavar="WxH", type=_option_type(parse_size),
                       help=f"pixels of a chart picture, {SMALLEST_SIZE[0]}x{SMALLEST_SIZE[1]} at least "
                            f"(default: {DEFAULT_SIZE[0]}x{DEFAULT_SIZE[1]})")
    group.add_argument("--source", type=_option_type(parse_source), default="auto", metavar="|".join(SOURCES),
                       help="where kline takes its bars from: the gateway, falling back to yfinance (auto), "
                            "or only the one named")
    group.add_argument("--watch", action="store_true",
                       help="after kline's intraday bars are shown, keep them current from the gateway's updates "
                            "until Ctrl-C (tables and terminal chart redrawn in place; with --format, a record "
                            "per update)")
    overlays = p.add_argument_group("chart overlays (with --chart)")
    overlays.add_argument("--ma", metavar="N[,N]", type=_option_type(parse_lengths), default=(),
                          help="simple moving averages of the close over N bars, e.g. 20,50")
    overlays.add_argument("--ema", metavar="N[,N]", type=_option_type(parse_lengths), default=(),
                          help="exponential moving averages of the close over N bars")
    overlays.add_argument("--vwap", action="store_true", help="the volume-weighted average price of each session "
                                                              "(intraday bars)")
    overlays.add_argument("--prev-close", action="store_true", help="a line at the previous session's close")
    overlays.add_argument("--fills", action="store_true",
                          help="the account's fills of the symbol on the candles (needs the gateway)")
    p.set_defaults(chart=None, chart_word=None)


def use_options(p: argparse.ArgumentParser, options: argparse.Namespace) -> ResultSettings:
    """Check the result options against each other and the command, then put them in force."""
    if options.chart_word is not None:
        options.words.insert(0, options.chart_word)
    words = options.words[1:] if options.words[:1] == ["--"] else options.words
    command = words[0].lower() if words else None
    if options.chart and command is not None and command not in (*CHARTED_COMMANDS, *HELP_WORDS):
        p.error(f"--chart draws the bars of {' or '.join(CHARTED_COMMANDS)}; {words[0]} returns none")
    if options.watch and command is not None and command not in (WATCHED_COMMAND, *HELP_WORDS):
        p.error(f"--watch keeps {WATCHED_COMMAND}'s bars current; {words[0]} has none")
    overlays = Overlays(ma=options.ma, ema=options.ema, vwap=options.vwap, prev_close=options.prev_close,
                        fills=options.fills)
    if not options.chart and (options.chart_size is not None or overlays):
        asked = ["--chart-size"] * (options.chart_size is not None) + overlays.words()
        verb = "is" if len(asked) == 1 else "are"
        p.error(f"{' and '.join(asked)} {verb} for a chart: add --chart (or --chart FILE.png)")
    rows = None if options.all else options.rows or "auto"
    settings = ResultSettings(rows=rows, format=options.format, out=options.out, tz=options.tz, rth=options.rth,
                              chart=options.chart, chart_size=options.chart_size or DEFAULT_SIZE, overlays=overlays,
                              source=options.source, watch=options.watch)
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

    def switch(value: bool) -> str:
        return "on" if value else "off"

    def lengths(value: tuple[int, ...]) -> str:
        return ",".join(map(str, value)) or "off"

    overlays = settings.overlays
    shown = {"rows": "all" if settings.rows is None else str(settings.rows),
             "format": settings.format or "table", "out": text(settings.out),
             "tz": settings.tz or "exchange", "rth": switch(settings.rth),
             "chart": "on" if settings.chart == TERMINAL else text(settings.chart),
             "chart-size": text(settings.chart_size),
             "ma": lengths(overlays.ma), "ema": lengths(overlays.ema), "vwap": switch(overlays.vwap),
             "prev-close": switch(overlays.prev_close), "fills": switch(overlays.fills),
             "source": settings.source, "watch": switch(settings.watch)}
    return [f"{name:<11}{value}" for name, value in shown.items()]


def _shell_out(text: str) -> str | None:
    return None if text.lower() == "off" else parse_out(text)


def _shell_chart(text: str) -> str | None:
    word = text.lower()
    if word == "off":
        return None
    return parse_chart(TERMINAL if word == "on" else text)


def _shell_tz(text: str) -> str | None:
    return None if text.lower() in ("off", "exchange") else parse_tz(text)


def _shell_lengths(text: str) -> tuple[int, ...]:
    return () if text.lower() == "off" else parse_lengths(text)


# shell name: (settings field, parser of the value); an overlay's field is one of `overlays`
_SHELL_PARSERS: dict[str, tuple[str, Callable[[str], object]]] = {
    "rows": ("rows", parse_rows),
    "format": ("format", parse_format),
    "out": ("out", _shell_out),
    "tz": ("tz", _shell_tz),
    "rth": ("rth", parse_switch),
    "chart": ("chart", _shell_chart),
    "chart-size": ("chart_size", parse_size),
    "ma": ("overlays.ma", _shell_lengths),
    "ema": ("overlays.ema", _shell_lengths),
    "vwap": ("overlays.vwap", parse_switch),
    "prev-close": ("overlays.prev_close", parse_switch),
    "fills": ("overlays.fills", parse_switch),
    "source": ("source", parse_source),
    "watch": ("watch", parse_switch),
}
SET_USAGE = ("set [rows N|all|auto, format table|csv|json, out FILE|off, tz ZONE|exchange, rth on|off, "
             "chart on|off|FILE, chart-size WxH, ma N,N|off, ema N|off, vwap|prev-close|fills on|off, "
             "source auto|gateway|yfinance, watch on|off]")


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
    if field.startswith("overlays."):
        changed = replace(_current, overlays=replace(_current.overlays, **{field.removeprefix("overlays."): value}))
    else:
        changed = replace(_current, **{field: value})
    if (why := conflict(changed)) is not None:
        logger.error("set {}: {}", name, why)
        return False
    use(changed)
    return True

