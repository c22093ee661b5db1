"""The tool's own exceptions, and the one place that turns an exception which
ended a command into its exit status and a one-line message."""

import signal

from bridge_replay.session.schema import SessionError
from bridge_replay.status import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_TERMINATED, EXIT_USAGE
from bridge_replay.stopping import signal_name


class ReplayError(Exception):
    """The replay could not run to the end; the message says why."""


class Interrupted(Exception):
    """The run was stopped from outside: ``signum`` the signal (SIGINT for
    Ctrl-C, SIGTERM), or None when a caller asked it to stop."""

    def __init__(self, signum=None):
        super().__init__("stopped" if signum is None else "stopped by %s" % signal_name(signum))
        self.signum = signum


def interrupted(signum):
    """(exit status, what stopped the run) for a stop by ``signum``."""
    if signum == signal.SIGTERM:
        return EXIT_TERMINATED, "stopped by SIGTERM"
    return EXIT_INTERRUPTED, "stopped by Ctrl-C"


class MissingExtra(ImportError):
    """A package that only some commands need is not installed; the message
    names the pip install that adds it."""


def exit_for(exc):
    """(exit status, one-line message) for an exception that ended a command."""
    if isinstance(exc, (KeyboardInterrupt, Interrupted)):
        status, why = interrupted(getattr(exc, "signum", signal.SIGINT))
        return status, "INTERRUPTED: %s" % why
    if isinstance(exc, MissingExtra):
        return EXIT_USAGE, _first_line(exc)
    if isinstance(exc, (SessionError, ReplayError, OSError)):
        return EXIT_FAILED, "FAILED: %s" % _first_line(exc)
    # A fault of the tool itself: still one line, with the exception's type to go on.
    return EXIT_FAILED, "FAILED: unexpected %s: %s" % (type(exc).__name__, _first_line(exc))


def _first_line(exc):
    text = str(exc)
    return text.splitlines()[0] if text.strip() else type(exc).__name__
