"""Stopping a run on SIGINT (Ctrl-C) or SIGTERM (a service manager) without
an exception landing in the middle of it.

Python's own SIGINT handling raises KeyboardInterrupt wherever the main
thread happens to be: inside an import (which can leave the import lock held
while another thread imports), inside a finalizer (where it is printed and
lost), inside a file's close. ``StopSignals`` instead only notes the signal
and sets an event; the threads doing the work look at it between steps.
"""

import signal
import threading

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


def signal_name(signum):
    try:
        return signal.Signals(signum).name
    except ValueError:
        return "signal %d" % signum


class StopSignals:
    """A context manager: while it is entered, SIGINT and SIGTERM set
    ``event``, keep the first signal in ``signum`` and call the listeners;
    the handlers that were there before come back on exit.

    Handlers can only be set on the main thread: elsewhere it installs
    nothing (a signal then stops whatever the main thread does). A signal
    that was ignored when it was entered (a job started with nohup or in
    the background) stays ignored."""

    def __init__(self, on_stop=None):
        self.signum = None
        self.event = threading.Event()
        self._listeners = [] if on_stop is None else [on_stop]
        self._saved = {}

    @property
    def installed(self):
        return bool(self._saved)

    def listen(self, on_stop):
        """Call ``on_stop(signum)`` on a stop signal (at once if one came already)."""
        self._listeners.append(on_stop)
        if self.signum is not None:
            on_stop(self.signum)

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for signum in STOP_SIGNALS:
                if signal.getsignal(signum) is signal.SIG_IGN:
                    continue
                self._saved[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc):
        self.restore()

    def restore(self):
        """Put the previous handlers back (once)."""
        saved, self._saved = self._saved, {}
        for signum, handler in saved.items():
            # None: a handler set outside Python, which cannot be put back; the default.
            signal.signal(signum, signal.SIG_DFL if handler is None else handler)

    def _handle(self, signum, frame):
        if self.signum is None:
            self.signum = signum
        self.event.set()
        for on_stop in list(self._listeners):
            on_stop(signum)
