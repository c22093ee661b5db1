# The metadata is in pyproject.toml; this only adds the optional C row check.
# Without a C compiler (or Python headers) the build goes on without it and
# bridge_replay.session.encoder writes the same lines in pure Python.
from setuptools import Extension, setup

setup(ext_modules=[Extension(
    "bridge_replay._rows", ["bridge_replay/_rows.c"],
    define_macros=[("Py_LIMITED_API", "0x03080000")], py_limited_api=True,
    optional=True)])
