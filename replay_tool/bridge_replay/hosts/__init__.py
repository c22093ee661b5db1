"""Host adapters shipped with the tool."""
