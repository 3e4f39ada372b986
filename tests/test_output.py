"""Results as data: records as frames, files written atomically, text for pipes, and the options that ask for them."""

import datetime as dt
import io
import json

import pandas as pd
import pytest

from korvanta.runner import cli, extras, output, settings
from korvanta.runner.records import bars_frame, executions_frame, result_frame

DAILY = [{"date": dt.date(2026, 1, 2), "open": 10.0, "high": 11.5, "low": 9.5, "close": 11.0, "volume": 1200,
          "average": 10.5, "barCount": 7},
         {"date": dt.date(2026, 1, 5), "open": 11.0, "high": 11.25, "low": 10.0, "close": 10.25, "volume": 900,
          "average": pd.NA, "barCount": 5}]
MINUTES = [dict(bar, date=pd.Timestamp(f"2026-01-02 09:3{i}")) for i, bar in enumerate(DAILY)]


def fill(**cells):
    shown = {"clientId": "1", "secType": "STK", "conId": 265598, "symbol": "AAPL", "conDate": "", "right": "",
             "strike": 0.0, "date": "2026-12-04", "exchange": "ISLAND", "tradingClass": "NMS",
             "localSymbol": "AAPL", "time": "09:45:12",
             "timestamp": pd.Timestamp("2026-12-04 09:45:12-05:00", tz="US/Eastern"), "orderId": "101",
             "side": "BOT", "shares": "60.00", "cumQty": 60.0, "price": "262.15", "total": "15,729.00",
             "realizedPNL": "0.00", "RPNL_each": "0.00", "commission": "0.3500", "c_each": "0.0058",
             "c_pct": "0.0000", "c_pct_RPNL": "1.00", "dayProfit": "0.00"}
    return shown | cells


# as the executions command returns them: fills, then summary rows (conId -1, empty text cells)
EXECUTIONS = [fill(), fill(orderId="", clientId="", side="SLD", shares="10.00", total="4,281.00",
                           realizedPNL="-35.20", commission="1.00"),
              fill(conId=-1, symbol="", orderId="", clientId="", timestamp="", shares="70.00", cumQty="")]


class TestRecordFrames:
    @pytest.mark.parametrize("bars", [DAILY, MINUTES], ids=["dates", "timestamps"])
    def test_bars_indexed_by_date_with_numbers(self, bars):
        frame = bars_frame(bars)
        assert isinstance(frame.index, pd.DatetimeIndex) and frame.index.name == "date"
        assert list(frame.columns) == ["open", "high", "low", "close", "volume", "average", "barCount"]
        assert all(pd.api.types.is_numeric_dtype(t) for t in frame.dtypes) and pd.isna(frame["average"].iloc[1])

    def test_executions_are_the_fills_as_numbers(self):
        frame = executions_frame(EXECUTIONS)
        assert len(frame.index) == 2 and frame["orderId"].tolist() == [101, 0] and frame["clientId"].tolist() == [1, 0]
        assert frame["total"].tolist() == [15729.0, 4281.0] and frame["realizedPNL"].tolist() == [0.0, -35.2]
        # ratios that the display form rounds to 0.0000 come back at full precision
        assert frame["c_pct"].iloc[0] == pytest.approx(0.35 / 15729.35)
        assert frame["c_each"].iloc[1] == pytest.approx(0.1)
        assert str(frame["timestamp"].dt.tz) == "US/Eastern"

    @pytest.mark.parametrize("result", [{"error": "No data returned", "bars": []}, {"symbol": "X"}, None, False],
                             ids=["error", "no-bars", "none", "false"])
    def test_results_without_records(self, result):
        assert result_frame(result) is None


class TestFiles:
    @pytest.mark.parametrize("suffix", [".csv", ".json", ".parquet"])
    @pytest.mark.parametrize("bars", [DAILY, MINUTES], ids=["dates", "timestamps"])
    def test_round_trip(self, tmp_path, suffix, bars):
        path = tmp_path / f"bars{suffix}"
        path.write_text("an older file")
        output.write_records(bars_frame(bars), path)
        read = {".csv": pd.read_csv, ".json": pd.read_json, ".parquet": pd.read_parquet}[suffix](path)
        assert read["date"].astype(str).str[:10].tolist() == [str(b["date"])[:10] for b in bars]
        assert read["close"].tolist() == [11.0, 10.25] and pd.isna(read["average"].iloc[1])
        assert [p.name for p in tmp_path.iterdir()] == [path.name]

    @pytest.mark.parametrize("bars, first", [(DAILY, "2026-01-02"), (MINUTES, "2026-01-02T09:30:00")],
                             ids=["dates", "timestamps"])
    def test_json_records_with_iso_dates(self, bars, first):
        records = json.loads(output.records_text(bars_frame(bars), "json"))
        assert records[0]["date"] == first and records[1]["average"] is None and records[0]["volume"] == 1200

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

    @pytest.mark.parametrize("argv, rows", [([], "auto"), (["--rows", "30"], 30), (["--all"], None)])
    def test_rows(self, argv, rows):
        assert self.parse(*argv, "kline", "AAPL")[0].rows == rows

    @pytest.mark.parametrize("argv, message", [
        (["--out", "bars.xlsx", "kline", "AAPL"], "unknown file type .xlsx"),
        (["--out", "no/such/dir/bars.csv", "kline", "AAPL"], "no directory 'no/such/dir'"),
        (["--chart", "bars.jpg", "kline", "AAPL"], "a chart is written as .png or .svg"),
        (["--chart", "executions"], "--chart draws the bars of kline; executions returns none"),
        (["--chart", "--format", "csv", "kline", "AAPL"], "a terminal chart would mix into them"),
        (["--rows", "0", "kline"], "0 rows: a table shows at least 1"),
        (["--rows", "5", "--all", "kline"], "not allowed with argument --rows"),
        (["--chart-size", "800", "kline"], "is not WIDTHxHEIGHT"),
    ], ids=["out-suffix", "out-directory", "chart-suffix", "chart-executions", "format-and-terminal-chart",
            "rows-0", "rows-and-all", "chart-size"])
    def test_usage_errors_exit_2_before_anything_runs(self, argv, message, monkeypatch, capsys):
        ran = []
        monkeypatch.setattr(cli, "run", lambda options: ran.append(options) or 0)
        with pytest.raises(SystemExit) as e:
            cli.main(argv)
        assert e.value.code == 2 and ran == [] and message in capsys.readouterr().err

    def test_format_prints_records_instead_of_tables(self, monkeypatch, capsys):
        from korvanta.runner.results import present
        from quodra import frame

        self.parse("--format", "csv", "kline", "AAPL")
        frame.printFrame(bars_frame(DAILY), "AAPL day (2 bars)")  # what the command prints
        assert present({"symbol": "AAPL", "period": "day", "bars": DAILY}, frame.printed - 1)
        assert pd.read_csv(io.StringIO(capsys.readouterr().out))["close"].tolist() == [11.0, 10.25]
