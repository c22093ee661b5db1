# The metadata is in pyproject.toml; this only adds the optional C parts of the
# recorder: the SDK thread's capture and the writer's rows. Without a C
# compiler (or Python headers) the build goes on without them and
# bridge_replay.recorder and bridge_replay.session.encoder do the same work in
# pure Python, writing the same bytes.
from setuptools import Extension, setup

setup(ext_modules=[
    Extension("bridge_replay._rows", ["bridge_replay/_rows.c"],
              depends=["bridge_replay/_captured.h"], optional=True),
    Extension("bridge_replay._capture", ["bridge_replay/_capture.c"],
              depends=["bridge_replay/_captured.h"], optional=True),
])
