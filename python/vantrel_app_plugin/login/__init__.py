"""Login feature: the JSON-configured SQLite user store."""
