"""Small utilities shared by the shell and its commands: words, tables, numbers, caches."""
