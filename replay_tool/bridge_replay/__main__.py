"""The ``bridge-replay`` command and ``python -m bridge_replay``."""

import sys

from bridge_replay.stopping import StopSignals


def _local_batch(args):
    """Whether the command line asks for a batch on a local cluster."""
    return args[:1] == ["batch"] and not any(
        a in ("-h", "--help", "--scheduler") or a.startswith("--scheduler=") for a in args)


def run():
    # Handlers first, before the command line's imports: a stop signal while
    # the tool loads is noted, and acted on before any command runs.
    with StopSignals() as signals:
        forked = False
        if _local_batch(sys.argv[1:]):
            # A local batch's workers are forked from a server that imports Dask
            # and the tool; its start-up is the batch's, so it begins before the
            # commands are even imported (the batch command stops it).
            from bridge_replay.batch import start_forkserver, stop_forkserver
            forked = start_forkserver()
        try:
            from bridge_replay.cli import main
            main(prog_name="bridge-replay", obj=signals)
        finally:
            if forked:
                stop_forkserver()


if __name__ == "__main__":
    run()
