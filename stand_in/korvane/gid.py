"""Host sign-in component.

The stand-in signs nobody in; it records each ``init(user, pw)`` call in the
module list ``calls`` so that tests can see what the sign-in passed.
"""

calls = []


def init(user, pw):
    """Record one sign-in with the user name and password, in that order."""
    calls.append((user, pw))


def reset():
    """Forget recorded sign-ins, keeping the same list object for holders of ``calls``."""
    del calls[:]
