"""tarnvel: client of the tarnvel search service."""
