"""Host loggers.

Each keeps what it was given as (level, text) in ``records``, level being the
method name ("debug", "info", "warning", "error"), and forwards it to the
standard ``logging`` module under its own logger name.
"""

import logging


class RecordingLogger:
    def __init__(self, name):
        self.name = name
        self.records = []
        self._logger = logging.getLogger(name)

    def _emit(self, level, number, text):
        self.records.append((level, text))
        # Passed as an argument, so a "%" in the text is never taken as a format.
        self._logger.log(number, "%s", text)

    def debug(self, text):
        self._emit("debug", logging.DEBUG, text)

    def info(self, text):
        self._emit("info", logging.INFO, text)

    def warning(self, text):
        self._emit("warning", logging.WARNING, text)

    def error(self, text):
        self._emit("error", logging.ERROR, text)

    def clear(self):
        """Forget the records, keeping the list object."""
        del self.records[:]

    def __repr__(self):
        return "RecordingLogger(%r, %d records)" % (self.name, len(self.records))


system_log = RecordingLogger("korvane.orvik.system")
user_system_log = RecordingLogger("korvane.orvik.user_system")
