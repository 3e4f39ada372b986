"""`python -m korvanta` and the `korvanta` console script."""

import sys


def main() -> int:
    try:
        from korvanta.runner.cli import program
    except KeyboardInterrupt:
        # Ctrl-C while the runner itself loads; later phases answer it in the runner.
        print("Interrupted", file=sys.stderr)
        return 130
    return program()


if __name__ == "__main__":
    sys.exit(main())
