"""The host environment singleton: instruments, universe and accounts.

``Environment.get_instance()`` creates the singleton lazily; tests swap it with
``set_instance`` or drop it with ``reset``.
"""

import threading

from korvane.orvik.portfolio.account import Account


class Instrument:
    """An instrument known by its market code. Unknown codes still get one:
    the stand-in has no instrument master to refuse them against."""

    def __init__(self, market_code):
        self.market_code = market_code

    def __repr__(self):
        return "Instrument(%r)" % (self.market_code,)


class DataProxy:
    """Hands out one ``Instrument`` per market code, so repeated lookups
    return the same object (as a host cache would)."""

    def __init__(self):
        self._instruments = {}

    def instruments(self, market_code):
        found = self._instruments.get(market_code)
        if found is None:
            # setdefault keeps the first one if two threads race here.
            found = self._instruments.setdefault(market_code, Instrument(market_code))
        return found


class Environment:
    _instance = None
    _lock = threading.Lock()
    data_proxy: DataProxy

    def __init__(self):
        self.data_proxy = DataProxy()
        # Settable by tests; the bar intake uses only its length.
        self.universe = []
        self._accounts = {}

    @classmethod
    def get_instance(cls):
        instance = Environment._instance
        if instance is None:
            with Environment._lock:
                if Environment._instance is None:
                    Environment._instance = Environment()
                instance = Environment._instance
        return instance

    @classmethod
    def set_instance(cls, env):
        Environment._instance = env

    @classmethod
    def reset(cls):
        Environment._instance = None

    def get_universe(self):
        return self.universe

    def get_account(self, market_code):
        """The account that holds orders in ``market_code``: one per exchange
        suffix (the text after the last "."; a code without a dot is its own
        suffix), so "000001.XSHE" and "000002.XSHE" share an account."""
        if not isinstance(market_code, str):
            raise TypeError("market code must be text, not %r" % (market_code,))
        suffix = market_code.rpartition(".")[2]
        account = self._accounts.get(suffix)
        if account is None:
            account = self._accounts.setdefault(suffix, Account(suffix))
        return account
