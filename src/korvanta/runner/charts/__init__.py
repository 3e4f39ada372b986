"""Candlestick charts of bars with volume below and overlays on the candles: in the terminal
(plotext), or as a PNG or SVG picture (mplfinance).

Nothing heavy loads here: the settings read these names while answering --help.
"""

from .candles import DOWN_BODY, DOWN_COLOUR, UP_COLOUR
from .overlays import Overlays
from .picture import DEFAULT_SIZE, LARGEST_SIDE, PICTURE_FORMATS, SMALLEST_SIZE, picture_format, write_chart
from .terminal import require_terminal_charts, terminal_chart
from .titles import chart_title

__all__ = ["DEFAULT_SIZE", "DOWN_BODY", "DOWN_COLOUR", "LARGEST_SIDE", "Overlays", "PICTURE_FORMATS", "SMALLEST_SIZE",
           "UP_COLOUR", "chart_title", "picture_format", "require_terminal_charts", "terminal_chart", "write_chart"]
