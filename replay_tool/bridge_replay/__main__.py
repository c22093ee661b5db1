"""The ``bridge-replay`` command and ``python -m bridge_replay``."""

from bridge_replay.stopping import StopSignals


def run():
    # Handlers first, before the command line's imports: a stop signal while
    # the tool loads is noted, and acted on before any command runs.
    with StopSignals() as signals:
        from bridge_replay.cli import main
        main(prog_name="bridge-replay", obj=signals)


if __name__ == "__main__":
    run()
