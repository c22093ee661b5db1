"""One fuzz target under atheris; the target's name comes in FUZZ_TARGET.
Run it through run.py, which preloads the fuzzer's runtime."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import atheris  # noqa: E402

import targets  # noqa: E402


def main():
    targets.setup()
    one_input = targets.TARGETS[os.environ["FUZZ_TARGET"]]()
    # libFuzzer's merge re-runs argv[0] through the shell: make it the interpreter and this script.
    argv = ["%s %s" % (sys.executable, os.path.abspath(__file__))] + sys.argv[1:]
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
