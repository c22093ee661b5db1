"""Stand-in of the host framework's top-level package."""
