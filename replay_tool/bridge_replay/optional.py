"""Packages that only some commands need: the batch's cluster (dask,
distributed), the reports' charts (plotly), the metrics endpoint
(prometheus_client), the Parquet tables (pyarrow) and zstd compression
(zstandard, for .zst sessions). Each is an extra of the distribution, so that a
recorder in a live trading process pulls in none it does not use."""

import importlib

from bridge_replay.errors import MissingExtra

EXTRAS = {"batch": ("dask", "distributed"), "report": ("plotly",),
          "metrics": ("prometheus_client",), "export": ("pyarrow", "pyarrow.parquet"),
          "zstd": ("zstandard",)}


def import_optional(name, extra, needed_by):
    """The module ``name``, or MissingExtra naming the pip install of ``extra``."""
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise MissingExtra("%s needs %s (%s): pip install 'bridge-replay[%s]'"
                           % (needed_by, name.partition(".")[0], exc, extra)) from None


def require(extra, needed_by):
    """Checks, before any work, that the packages of ``extra`` import."""
    for name in EXTRAS[extra]:
        import_optional(name, extra, needed_by)
