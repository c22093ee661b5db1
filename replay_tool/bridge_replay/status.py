"""Exit statuses of the command line, named once."""

EXIT_OK = 0           # played to the end, nothing skipped
EXIT_FAILED = 1       # the session, the strategy, a callback or the run failed
EXIT_USAGE = 2        # a bad option or output path, or a missing optional extra
EXIT_SKIPPED = 3      # played to the end, but lines were skipped
EXIT_CUT = 4          # the session was cut short
EXIT_INTERRUPTED = 130  # Ctrl-C (SIGINT)
EXIT_TERMINATED = 143   # SIGTERM
