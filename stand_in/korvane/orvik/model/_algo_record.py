"""What the three algo records share: keyed by the gateway's ``sys_quote_id``,
and built from the first report, then folded with each later one."""


class AlgoRecord:
    def __init__(self, sys_quote_id):
        self.sys_quote_id = sys_quote_id
        self.update_count = 0

    @classmethod
    def from_mach(cls, report, existing):
        """Record after ``report``: a new one when ``existing`` is None,
        otherwise ``existing`` itself, changed in place and returned.

        ``sys_quote_id`` is required; every other attribute is optional and a
        missing one keeps what the record held. Folding a report of another
        ``sys_quote_id`` is refused with ValueError, since it would mix two
        orders' figures."""
        key = report.sys_quote_id
        if existing is None:
            record = cls(key)
        elif not isinstance(existing, cls):
            raise TypeError("cannot fold a %s report into %r" % (cls.__name__, existing))
        elif existing.sys_quote_id != key:
            raise ValueError("report for sys_quote_id %r cannot update the record of %r"
                             % (key, existing.sys_quote_id))
        else:
            record = existing
        record._fold(report)
        record.update_count += 1
        return record

    def _fold(self, report):
        raise NotImplementedError

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(
            "%s=%r" % item for item in vars(self).items()))
