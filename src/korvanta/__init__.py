"""Korvanta trading toolkit: the command host and its native command modules."""
