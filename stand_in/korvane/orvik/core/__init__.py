"""Host core: events."""
