"""The tool's own exceptions, and the one place that turns an exception which
ended a command into its exit status and a one-line message."""

from bridge_replay.session.schema import SessionError
from bridge_replay.status import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_USAGE


class ReplayError(Exception):
    """The replay could not run to the end; the message says why."""


class Interrupted(Exception):
    """The run was stopped from outside (Ctrl-C)."""


class MissingExtra(ImportError):
    """A package that only some commands need is not installed; the message
    names the pip install that adds it."""


def exit_for(exc):
    """(exit status, one-line message) for an exception that ended a command."""
    if isinstance(exc, KeyboardInterrupt):
        return EXIT_INTERRUPTED, "INTERRUPTED: stopped by Ctrl-C"
    if isinstance(exc, MissingExtra):
        return EXIT_USAGE, _first_line(exc)
    if isinstance(exc, (SessionError, ReplayError, OSError)):
        return EXIT_FAILED, "FAILED: %s" % _first_line(exc)
    # A fault of the tool itself: still one line, with the exception's type to go on.
    return EXIT_FAILED, "FAILED: unexpected %s: %s" % (type(exc).__name__, _first_line(exc))


def _first_line(exc):
    text = str(exc)
    return text.splitlines()[0] if text.strip() else type(exc).__name__
