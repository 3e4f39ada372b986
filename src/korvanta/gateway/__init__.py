"""Support for the broker gateway connection: caches of what it served."""
