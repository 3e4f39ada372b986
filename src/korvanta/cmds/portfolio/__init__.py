"""Account and portfolio commands."""
