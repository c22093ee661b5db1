"""Host records."""
