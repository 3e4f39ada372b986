"""Results as data: records as frames, files written atomically, text for pipes, and the options that ask for them."""

import asyncio
import datetime as dt
import json

import pandas as pd
import pytest

import korvanta.cmds.portfolio.executions as ex
import korvanta.cmds.quotes.kline  # noqa: F401  (its period tables tell daily bars from intraday ones)
from korvanta.cmds.base import execute
from korvanta.runner import cli, extras, output, settings
from korvanta.runner.records import executions_frame, kline_frame
from test_executions import AAPL, ES, Client, State, at, fill

# /ES bars as kline hands them over: whole prices as integers (its frames are convert_dtypes'),
# a missing average, naive times in New York's zone; the clocks went back during the night of
# 2026-11-01, so 01:00 comes twice.
ES_BARS = [{"date": None, "open": 6383, "high": 6384.25, "low": 6380, "close": 6382, "volume": 1200,
            "average": 6382.5, "barCount": 7},
           {"date": None, "open": 6382, "high": 6386.5, "low": 6381.75, "close": 6386, "volume": 900,
            "average": pd.NA, "barCount": 5},
           {"date": None, "open": 6386, "high": 6387, "low": 6385, "close": 6385.25, "volume": 950,
            "average": 6386.0, "barCount": 6}]
ES_HOURS = [pd.Timestamp("2026-11-01 00:00"), pd.Timestamp("2026-11-01 01:00"), pd.Timestamp("2026-11-01 01:00")]
DAILY = {"symbol": "/ES", "period": "day", "count": 3, "adjust": "none", "source": "ibkr",
         "bars": [dict(bar, date=dt.date(2026, 10, 28 + i)) for i, bar in enumerate(ES_BARS)]}
HOURLY = {"symbol": "/ES", "period": "1h", "count": 3, "adjust": "none", "source": "ibkr",
          "bars": [dict(bar, date=time) for bar, time in zip(ES_BARS, ES_HOURS)]}
FILL_COLUMNS = ["timestamp", "date", "time", "symbol", "side", "shares", "price", "total", "commission", "realizedPNL"]
PRICES = {"bars": ["open", "high", "low", "close", "average", "volume"], "fills": ["shares", "price", "total"]}


def executions_records(monkeypatch, fills) -> list[dict]:
    """What the executions command returns for `fills`, its tables unprinted."""
    monkeypatch.setattr(ex, "printFrame", lambda frame, title: None)
    state = State()
    return asyncio.run(execute(["executions"], state=state, ib=Client(state, fills)))


def executed_fills(monkeypatch) -> pd.DataFrame:
    """An /ES fill at a whole price and two AAPL fills, through the executions command."""
    fills = [fill(ES, at(15, 31), "BOT", 1.0, 6383.0, order=1), fill(AAPL, at(20, 5), "BOT", 100.0, 262.15),
             fill(AAPL, at(20, 35), "SLD", 50.0, 265.4, order=12, pnl=161.5)]
    return executions_frame(executions_records(monkeypatch, fills))[FILL_COLUMNS]


def read_back(path) -> pd.DataFrame:
    """The file as a frame with nothing but what the format itself says of the types."""
    if path.suffix == ".json":
        return pd.DataFrame.from_records(json.loads(path.read_text()))
    return pd.read_csv(path) if path.suffix == ".csv" else pd.read_parquet(path)


def in_schema(read: pd.DataFrame, like: pd.DataFrame) -> pd.DataFrame:
    """Text read back into the types of `like`: times by their offsets, dates by their ISO text."""
    restored = read.copy()
    for column in like.columns:
        values, wanted = read[column], like[column]
        if isinstance(wanted.dtype, pd.DatetimeTZDtype):
            assert values.str.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d").all()
            restored[column] = pd.to_datetime(values, utc=True).dt.tz_convert(wanted.dt.tz).dt.as_unit("us")
        elif wanted.map(type).eq(dt.date).all():
            restored[column] = values.map(dt.date.fromisoformat)
        else:
            restored[column] = values.astype(wanted.dtype)
    return restored


class TestFiles:
    @pytest.mark.parametrize("suffix", [".csv", ".json", ".parquet"])
    @pytest.mark.parametrize("records", ["daily", "intraday", "fills"])
    def test_round_trip_keeps_types_and_values(self, tmp_path, monkeypatch, suffix, records):
        frame = {"daily": lambda: kline_frame(DAILY), "intraday": lambda: kline_frame(HOURLY),
                 "fills": lambda: executed_fills(monkeypatch)}[records]()
        kind = "fills" if records == "fills" else "bars"
        # as the API returns them: prices float64 whatever their values, one zone, one unit
        assert (frame[PRICES[kind]].dtypes == "float64").all()
        if kind == "bars":
            assert frame["barCount"].dtype == "Int64"
            assert str(frame.index.dtype) == ("object" if records == "daily" else "datetime64[us, America/Chicago]")
        else:
            assert str(frame["timestamp"].dtype) == "datetime64[us, America/New_York]"
            assert frame["date"].map(type).eq(dt.date).all()
        path = tmp_path / f"bars{suffix}"
        path.write_text("an older file")
        output.write_records(frame, path)
        assert [p.name for p in tmp_path.iterdir()] == [path.name]
        written = frame.reset_index() if kind == "bars" else frame
        read = read_back(path)
        # each format's own types: floats read back as floats, a parquet file holds the schema
        assert (read[PRICES[kind]].dtypes == "float64").all()
        if suffix == ".parquet":
            pd.testing.assert_series_equal(read.dtypes, written.dtypes)
            assert read.attrs == written.attrs
        else:
            read = in_schema(read, written)
        pd.testing.assert_frame_equal(read, written, check_dtype=True)

    def test_times_as_written(self):
        text = output.records_text(kline_frame(HOURLY), "json")
        first, second, third = json.loads(text)
        # New York's hour that came twice is two hours in a row in Chicago's time (an hour behind,
        # its clocks go back an hour later)
        assert [first["date"], second["date"], third["date"]] == [
            "2026-10-31T23:00:00-05:00", "2026-11-01T00:00:00-05:00", "2026-11-01T01:00:00-05:00"]
        assert (second["average"], first["open"], first["barCount"]) == (None, 6383.0, 7)
        assert output.records_text(kline_frame(DAILY), "csv").splitlines()[1].startswith("2026-10-28,6383.0,")

    @pytest.mark.parametrize("failure", [OSError("disk full"), KeyboardInterrupt()], ids=["error", "interrupt"])
    def test_interrupted_write_leaves_the_old_file(self, tmp_path, failure):
        path = tmp_path / "bars.csv"
        path.write_text("old\n")
        with pytest.raises(type(failure)):
            with output.atomic_path(path) as part:
                part.write_text("half a fi")
                raise failure
        assert path.read_text() == "old\n" and [p.name for p in tmp_path.iterdir()] == ["bars.csv"]

    def test_missing_extra_named_in_one_line(self, monkeypatch):
        monkeypatch.setattr(extras.importlib.util, "find_spec", lambda name: None)
        with pytest.raises(extras.MissingExtra) as e:
            output.file_format("fills.parquet")
        assert str(e.value) == ("writing .parquet files needs pyarrow, which is not installed: "
                                "pip install 'korvanta[parquet]'")


@pytest.mark.parametrize("shares, price, commission, pnl, each, ratios", [
    # per share: commission, realised; commission / (total + commission),
    # commission x 2 / (realised + commission x 2)
    (50.0, 265.4, 1.0, 161.5, (0.02, 3.23), (1 / 13_271, 2 / 163.5)),
    (100.0, 262.15, 0.35, 0.0, (0.0035, 0.0), (0.35 / 26_215.35, 1.0)),
    (10.0, 428.1, 1.0, -35.2, (0.1, -3.52), (1 / 4_282, 2 / -33.2)),
], ids=["gain", "opening", "loss"])
def test_fill_ratios_worked_out_at_full_precision(monkeypatch, shares, price, commission, pnl, each, ratios):
    # the printed table rounds them (0.0001 for 1 / 13,271); the records work them out again
    rows = executions_records(monkeypatch, [fill(AAPL, at(20, 35), "SLD", shares, price, commission=commission,
                                                 pnl=pnl)])
    (figures,) = executions_frame(rows)[["c_each", "RPNL_each", "c_pct", "c_pct_RPNL"]].itertuples(index=False)
    assert tuple(figures) == pytest.approx((*each, *ratios), rel=1e-12)


def bars_at(symbol: str, source: str, start: str, periods: int, freq: str, period: str) -> dict:
    times = pd.date_range(start, periods=periods, freq=freq)
    return {"symbol": symbol, "period": period, "source": source,
            "bars": [dict(ES_BARS[0], date=time) for time in times]}


class TestReshaped:
    @pytest.mark.parametrize("result, tz, rth, first, last, count", [
        (bars_at("AAPL", "ibkr", "2026-12-08 04:00", 192, "5min", "5m"), None, True,
         "2026-12-08 09:30:00-05:00", "2026-12-08 15:55:00-05:00", 78),
        # the day after Thanksgiving the exchange closes at 13:00
        (bars_at("AAPL", "ibkr", "2026-11-27 04:00", 192, "5min", "5m"), None, True,
         "2026-11-27 09:30:00-05:00", "2026-11-27 12:55:00-05:00", 42),
        (bars_at("/ES", "ibkr", "2026-12-07 18:00", 23, "h", "1h"), None, False,
         "2026-12-07 17:00:00-06:00", "2026-12-08 15:00:00-06:00", 23),
        # the pit hours: 08:30-15:00 Chicago
        (bars_at("/ES", "ibkr", "2026-12-07 18:00", 23, "h", "1h"), None, True,
         "2026-12-08 09:00:00-06:00", "2026-12-08 14:00:00-06:00", 6),
        (bars_at("/ES", "ibkr", "2026-12-07 18:00", 23, "h", "1h"), "UTC", True,
         "2026-12-08 15:00:00+00:00", "2026-12-08 20:00:00+00:00", 6),
        (bars_at("AAPL", "ibkr", "2026-12-08", 5, "D", "day"), "Asia/Tokyo", True, "2026-12-08", "2026-12-12", 5),
    ], ids=["stock", "early-close", "future-all-hours", "future-pit-hours", "future-in-utc", "daily-untouched"])
    def test_zone_and_regular_hours(self, result, tz, rth, first, last, count):
        bars = kline_frame(result, tz=tz, rth=rth)
        assert [str(bars.index[0]), str(bars.index[-1])] == [first, last]
        assert len(bars.index) == count and bars.attrs["regularHours"] is rth

    @pytest.mark.parametrize("source, first", [("ibkr", "2026-12-08 09:30:00-05:00"),
                                               ("yfinance", "2026-12-08 06:30:00-05:00")])
    def test_each_source_read_in_its_own_zone(self, monkeypatch, source, first):
        # gateway times are read in KORVANTA_EXCHANGE_TZ's zone; yfinance's in the listing's
        import korvanta.gateway.barhold as barhold
        from zoneinfo import ZoneInfo

        monkeypatch.setattr(barhold, "_EXCHANGE_TZ", ZoneInfo("America/Los_Angeles"))
        bars = kline_frame(bars_at("AAPL", source, "2026-12-08 06:30", 3, "min", "1m"))
        assert str(bars.index[0]) == first and bars.attrs["timezone"] == "America/New_York"


class TestOptions:
    @pytest.fixture(autouse=True)
    def restore(self):
        yield
        settings.use(settings.ResultSettings())

    def parse(self, *argv):
        p = cli.parser()
        options = p.parse_args(argv)
        return settings.use_options(p, options), options.words

    @pytest.mark.parametrize("argv, chart, words", [
        (["--chart", "kline", "AAPL"], settings.TERMINAL, ["kline", "AAPL"]),
        (["--chart", "c.svg", "kline", "AAPL"], "c.svg", ["kline", "AAPL"]),
        (["--chart=c.png", "--", "kline", "AAPL", "-1"], "c.png", ["--", "kline", "AAPL", "-1"]),
        (["--chart"], settings.TERMINAL, []),
    ], ids=["terminal", "picture", "equals-form", "shell"])
    def test_chart_gives_back_the_command_word(self, argv, chart, words):
        chosen, parsed = self.parse(*argv)
        assert chosen.chart == chart and parsed == words

    def test_zone_hours_and_overlays(self):
        chosen, words = self.parse("--tz", "UTC", "--rth", "--chart", "c.png", "--chart-size", "640x360", "--ma",
                                   "20,50,20", "--ema", "9", "--vwap", "--prev-close", "--fills", "kline", "/ES")
        assert (chosen.tz, chosen.rth, chosen.chart_size, words) == ("UTC", True, (640, 360), ["kline", "/ES"])
        assert chosen.overlays == settings.Overlays(ma=(20, 50), ema=(9,), vwap=True, prev_close=True, fills=True)

    def test_largest_chart_size(self):
        # the smallest, 640x360, is taken above
        assert self.parse("--chart", "c.png", "--chart-size", "10000X10000", "kline")[0].chart_size == (10_000, 10_000)

    @pytest.mark.parametrize("argv, message", [
        (["--out", "bars.xlsx", "kline", "AAPL"], "unknown file type .xlsx"),
        (["--out", "no/such/dir/bars.csv", "kline", "AAPL"], "no directory 'no/such/dir'"),
        (["--chart", "bars.jpg", "kline", "AAPL"], "a chart is written as .png or .svg"),
        (["--chart", "executions"], "--chart draws the bars of kline or pnl; executions returns none"),
        (["--chart", "--format", "csv", "kline", "AAPL"], "a terminal chart would mix into them"),
        (["--rows", "0", "kline"], "0 rows: a table shows at least 1"),
        (["--chart-size", "800", "kline"], "is not WIDTHxHEIGHT"),
        (["--chart", "--chart-size", "639x360", "kline"], "639x360: a chart picture is 640x360 pixels at least"),
        (["--chart", "--chart-size", "800x359", "kline"], "800x359: a chart picture is 640x360 pixels at least"),
        (["--chart", "--chart-size", "10001x720", "kline"], "10001x720: a chart picture is 640x360 pixels at least "
                                                             "and 10000 at most a side"),
        (["--chart", "--chart-size", "1280x10001", "kline"], "1280x10001: a chart picture"),
        (["--chart-size", "800x400", "kline", "AAPL"], "--chart-size is for a chart: add --chart"),
        (["--ma", "20", "--fills", "kline", "AAPL"], "--ma 20 and --fills are for a chart: add --chart"),
        (["--chart", "--ma", "20,1", "kline"], "20,1: an average is over 2 to 400 bars"),
        (["--chart", "--ema", "x", "kline"], "is not a length in bars"),
        (["--tz", "Mars/Olympus", "kline"], "'Mars/Olympus' is not a time zone"),
    ], ids=["out-suffix", "out-directory", "chart-suffix", "chart-executions", "format-and-terminal-chart",
            "rows-0", "chart-size", "picture-too-narrow", "picture-too-low", "picture-too-wide", "picture-too-tall",
            "size-without-chart",
            "overlays-without-chart", "average-of-1", "ema-not-a-number", "unknown-zone"])
    def test_usage_errors_exit_2_before_anything_runs(self, argv, message, monkeypatch, capsys):
        ran = []
        monkeypatch.setattr(cli, "run", lambda options: ran.append(options) or 0)
        with pytest.raises(SystemExit) as e:
            cli.main(argv)
        assert e.value.code == 2 and ran == [] and message in capsys.readouterr().err
