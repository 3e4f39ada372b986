"""Market quote commands."""
