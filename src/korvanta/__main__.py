"""`python -m korvanta` and the `korvanta` console script."""

import sys


def main() -> int:
    try:
        # First of all, so that Ctrl-C while the runner loads ends it in one line too.
        from korvanta.runner import interrupts

        interrupts.leave_on_interrupt()
        from korvanta.runner.cli import program
    except KeyboardInterrupt:
        # Ctrl-C before the handler was in place; later phases answer it in the handler.
        print("Interrupted", file=sys.stderr)
        return 130
    return program()


if __name__ == "__main__":
    sys.exit(main())
