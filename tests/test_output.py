"""Results as data: records as frames, files written atomically, text for pipes, and the options that ask for them."""

import datetime as dt
import json

import pandas as pd
import pytest

from korvanta.runner import cli, extras, output, settings
from korvanta.runner.records import bars_frame

DAILY = [{"date": dt.date(2026, 1, 2), "open": 10.0, "high": 11.5, "low": 9.5, "close": 11.0, "volume": 1200,
          "average": 10.5, "barCount": 7},
         {"date": dt.date(2026, 1, 5), "open": 11.0, "high": 11.25, "low": 10.0, "close": 10.25, "volume": 900,
          "average": pd.NA, "barCount": 5}]
MINUTES = [dict(bar, date=pd.Timestamp(f"2026-01-02 09:3{i}")) for i, bar in enumerate(DAILY)]


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

    @pytest.mark.parametrize("argv, message", [
        (["--out", "bars.xlsx", "kline", "AAPL"], "unknown file type .xlsx"),
        (["--out", "no/such/dir/bars.csv", "kline", "AAPL"], "no directory 'no/such/dir'"),
        (["--chart", "bars.jpg", "kline", "AAPL"], "a chart is written as .png or .svg"),
        (["--chart", "executions"], "--chart draws the bars of kline; executions returns none"),
        (["--chart", "--format", "csv", "kline", "AAPL"], "a terminal chart would mix into them"),
        (["--rows", "0", "kline"], "0 rows: a table shows at least 1"),
        (["--chart-size", "800", "kline"], "is not WIDTHxHEIGHT"),
    ], ids=["out-suffix", "out-directory", "chart-suffix", "chart-executions", "format-and-terminal-chart",
            "rows-0", "chart-size"])
    def test_usage_errors_exit_2_before_anything_runs(self, argv, message, monkeypatch, capsys):
        ran = []
        monkeypatch.setattr(cli, "run", lambda options: ran.append(options) or 0)
        with pytest.raises(SystemExit) as e:
            cli.main(argv)
        assert e.value.code == 2 and ran == [] and message in capsys.readouterr().err
