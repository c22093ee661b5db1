"""Session replay: play a recorded (or generated) gateway session through the
bridge, offline and deterministically.

- ``pymach.replay.format``: the session file format (JSON Lines, optionally gzip).
- ``pymach.replay.generate``: a seeded sample-day generator.
- ``pymach.replay.player``: the player (``replay(path) -> summary``).
- ``pymach.replay.recorder``: records a live (or replayed) session.
- ``python -m pymach.replay``: the command line (``replay``, ``generate``).
"""

from pymach.replay.player import Player, ReplayError, default_session, replay

__all__ = ["Player", "ReplayError", "default_session", "replay"]
