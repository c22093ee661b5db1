"""Host helpers. The bridge and sign-in extension modules are installed here by their own wheel."""
