"""One fuzz target under atheris: python harness.py TARGET [libFuzzer options].
Run it through run.py, which preloads the fuzzer's runtime."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import atheris  # noqa: E402

import targets  # noqa: E402


def main():
    name = sys.argv.pop(1)
    targets.setup()
    atheris.Setup(sys.argv, targets.TARGETS[name]())
    atheris.Fuzz()


if __name__ == "__main__":
    main()
