"""Helpers shared by the bridge's tests (and by the refcount check and the fuzz
targets): the callback table, the leak check, draining the queue and fresh
interpreters. A package, so that test modules import them by a name that
cannot be taken for a test or a conftest."""
