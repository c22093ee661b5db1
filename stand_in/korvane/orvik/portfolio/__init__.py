"""Host portfolio: accounts, assets and positions."""
