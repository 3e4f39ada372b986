"""The failures of a command line, as the runner reports them; light enough for help to import."""


class CommandError(Exception):
    """A command line that failed; its text says why, `status` is the exit status it earns."""

    status = 1


class UsageError(CommandError, ValueError):
    """A command line that names no command, or gives one words or options it does not take.

    A ValueError too: to a caller of the Python API it is a bad argument value.
    """

    status = 2
