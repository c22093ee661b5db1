"""Record gateway sessions and replay them through the bridge, offline and
deterministically.

- ``bridge_replay.session``: the session file format (JSON Lines, optionally gzip).
- ``bridge_replay.player``: the player (``replay(path) -> summary``).
- ``bridge_replay.recorder``: records a live (or replayed) session.
- ``bridge_replay.host``: the host adapter interface; ``bridge_replay.hosts``
  the adapters that ship with the tool.
- ``bridge_replay.generate``: a seeded sample-day generator.
- ``bridge-replay`` / ``python -m bridge_replay``: the command line.
"""

__version__ = "0.2.0"


def __getattr__(name):
    # The player pulls in numpy; "--version" and "-h" should not wait for it.
    if name in ("Player", "ReplayError", "default_session", "replay"):
        from bridge_replay import player
        return getattr(player, name)
    raise AttributeError(name)


__all__ = ["Player", "ReplayError", "default_session", "replay", "__version__"]
