"""Shell commands, one module per command word, grouped by category."""
