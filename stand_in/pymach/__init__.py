"""Stand-in of the gateway SDK."""
