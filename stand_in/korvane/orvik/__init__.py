"""Stand-in of the host trading framework."""
