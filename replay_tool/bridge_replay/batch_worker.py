"""What a local cluster's worker needs before its first session, imported once
by the server the workers are forked from (``batch.local_cluster``): Dask's
worker, the player and the tool's batch code. Each worker then starts from this
image instead of importing them in a fresh interpreter."""

import gc

import distributed.nanny  # noqa: F401  (the worker process's own code)

from bridge_replay import batch, host, player, summary  # noqa: F401

batch.local_versions_only()
# Everything imported so far lives as long as the worker: the collector need
# not look at it again in any worker, and its pages stay shared with the server.
gc.freeze()
