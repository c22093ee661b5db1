"""Gateway records: objects read by attribute name only."""


class Record:
    """``Record(**attrs)`` has exactly the given attributes; reading any other
    raises AttributeError, as reading a field a gateway record lacks would.
    ``vars(record)`` gives the attributes, e.g. to build a changed copy with
    ``Record(**{**vars(r), "trade_qty": 0})``."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def __repr__(self):
        return "Record(%s)" % ", ".join("%s=%r" % item for item in self.__dict__.items())
