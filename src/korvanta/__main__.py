"""`python -m korvanta` and the `korvanta` console script."""

import sys

from korvanta.runner.cli import main

if __name__ == "__main__":
    sys.exit(main())
