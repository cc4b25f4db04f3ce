"""Native internals of tarnvel; not a public API."""
