"""The gateway record attributes each callback reads, taken from the bridge
itself and held against the two tables that list them by hand: the replay
tool's (what a recording keeps and a replayed line must carry) and the
callback table the bad-input, leak and thread tests walk."""
import sys

import pytest

from bridge_replay.session import schema as session_format
from pymach.records import Record
from support import callbacks as cb

READ = []


def _call(method, args):
    return method(*args)


class Noted(Record):
    """Notes the attributes the bridge reads, not those host code reads (a
    host's from_mach, a deep copy): only a read made from C has the caller's
    frame as its parent."""

    def __getattribute__(self, name):
        if name[:1] != "_" and sys._getframe(1).f_code is _call.__code__:
            READ.append(name)
        return object.__getattribute__(self, name)


def bridge_reads(case):
    cb.clean()
    cb.prepare(case)
    del READ[:]
    _call(getattr(cb.bridge(), case.method), (Noted(**case.record),) + case.extra)
    return set(READ)


@pytest.fixture(scope="module")
def reads():
    saved = list(cb.Environment.get_instance().universe)
    try:
        return {case.id: bridge_reads(case) for case in cb.CASES}
    finally:
        cb.Environment.get_instance().universe[:] = saved
        cb.reset_logs()


def test_the_callback_table_lists_what_each_case_reads(reads):
    assert {c.id: set(c.reads) for c in cb.CASES} == reads


def test_the_session_format_keeps_every_attribute_the_bridge_reads(reads):
    """A session keeps, per callback, what any of its cases reads: the
    attributes a line must carry plus those read on some paths only."""
    read_by = {}
    for case in cb.CASES:
        read_by.setdefault(case.method, set()).update(reads[case.id])
    kept = {name: set(attrs) | set(session_format.READ_IF_PRESENT.get(name, ()))
            for name, (takes_record, _, attrs) in session_format.CALLBACKS.items()
            # a position answer is a list; a record the bridge cannot read is skipped
            if takes_record and name != "on_query_position"}
    assert kept == read_by


def test_the_callback_table_lists_what_a_position_record_gives():
    del READ[:]
    _call(cb.bridge().on_query_position, ([Noted(**cb.POSITION)], 1, 0, ""))
    assert set(READ) == set(cb.POSITION)
