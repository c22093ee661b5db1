"""Host SDK helpers. The credential-store extension module is installed here by its own wheel."""
