"""The command runner: one command from the command line, or an interactive shell."""
