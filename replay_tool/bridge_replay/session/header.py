"""The session's first line: its version, start and end, the host
configuration, the universe and the host orders known at the start."""

import datetime as _dt
import json
import types

import msgspec

from bridge_replay.session.codec import (MAX_DEPTH, TOO_DEEP, DecodeError, format_time,
                                         parse_time, shown, too_deep)
from bridge_replay.session.entries import HostOrder
from bridge_replay.session.lines import undecodable
from bridge_replay.session.schema import FORMAT, MINOR, VERSION, SessionError

_CONFIG_KEYS = ("md_type", "order_way", "accounts", "algo_account", "trading_calendar")


class Header:
    def __init__(self, start, end=None, config=None, universe=(), orders=(), meta=None,
                 version=VERSION):
        self.start = start
        self.end = end
        self.config = dict(config or {})
        self.universe = list(universe)
        self.orders = sorted(orders, key=lambda o: o.t)
        self.meta = dict(meta or {})
        self.version = version

    @staticmethod
    def config_from_base(base, encoder):
        """The header form of a host configuration's ``base``."""
        out = {}
        for key in _CONFIG_KEYS:
            if not hasattr(base, key):
                continue
            value = getattr(base, key)
            if key == "accounts":
                value = {str(k): v for k, v in dict(value).items()}
            elif key == "trading_calendar":
                value = [str(d)[:10] for d in value]
            else:
                value = encoder.value(value, "config.%s" % key)
            out[key] = value
        return out

    def make_config(self, decoder):
        """The host configuration: ``config.base`` with the header's members;
        the trading calendar as an array of day dates."""
        import numpy
        base = types.SimpleNamespace()
        for key in _CONFIG_KEYS:
            if key not in self.config:
                continue
            value = self.config[key]
            # A fault here is the header's, whoever reads it (a header made in
            # code, a platform whose enumerations changed since it was read).
            try:
                if key == "trading_calendar":
                    value = numpy.array(value, dtype="datetime64[D]")
                elif key == "accounts":
                    value = dict(value)
                else:
                    value = decoder.value(value)
            except (DecodeError, ValueError, TypeError) as exc:
                raise SessionError("bad session header: config.%s: %s" % (key, exc)) from None
            setattr(base, key, value)
        return types.SimpleNamespace(base=base)

    def to_json(self, encoder):
        out = {"format": FORMAT, "version": VERSION, "minor": MINOR,
               "start": format_time(self.start)}
        if self.end is not None:
            out["end"] = format_time(self.end)
        out["config"] = self.config
        out["universe"] = self.universe
        out["orders"] = [o.to_json(encoder) for o in self.orders]
        out["meta"] = self.meta
        return _dumps(out)

    @classmethod
    def from_line(cls, line, decoder):
        try:
            obj = msgspec.json.decode(line)
        except (msgspec.DecodeError, UnicodeDecodeError, RecursionError) as exc:
            why = undecodable(line, exc)
            if why == TOO_DEEP:
                raise SessionError("bad session header: %s" % why) from None
            raise SessionError("not a session file: line 1 is %s"
                               % why.replace("not valid JSON: ", "not JSON: ")) from None
        if type(obj) is not dict or obj.get("format") != FORMAT:
            raise SessionError("not a session file: line 1 is no %r header" % FORMAT)
        opening = (b"[", b"{") if type(line) is not str else ("[", "{")
        if line.count(opening[0]) + line.count(opening[1]) > MAX_DEPTH and too_deep(obj):
            raise SessionError("bad session header: %s" % TOO_DEEP)
        version = obj.get("version")
        if type(version) is not int or version < 1:
            raise SessionError("bad session header: version %s is not a whole number"
                               % shown(version))
        if version > VERSION:
            raise SessionError("session format version %d is newer than this tool reads "
                               "(versions 1 to %d): upgrade bridge-replay" % (version, VERSION))
        try:
            start = parse_time(obj.get("start"), "header start")
            end = obj.get("end")
            end = None if end is None else parse_time(end, "header end")
            config = obj.get("config", {})
            if type(config) is not dict:
                raise DecodeError("header config must be an object")
            if type(config.get("accounts", {})) is not dict:
                raise DecodeError("header config.accounts must be an object")
            calendar = config.get("trading_calendar", [])
            if type(calendar) is not list:
                raise DecodeError("header config.trading_calendar must be a list of dates")
            for d in calendar:
                try:
                    # Newer Pythons also take "20240315" and week dates, which
                    # numpy reads otherwise or not at all: the one form only.
                    if len(d) != 10 or d[4] != "-" or d[7] != "-":
                        raise ValueError(d)
                    _dt.date.fromisoformat(d)
                except (TypeError, ValueError):
                    raise DecodeError("trading calendar date %s is not YYYY-MM-DD"
                                      % shown(d)) from None
            for key in ("md_type", "order_way", "algo_account"):
                if key in config:
                    decoder.value(config[key])  # decoded again by make_config
            universe = obj.get("universe", [])
            if type(universe) is not list or not all(type(u) is str for u in universe):
                raise DecodeError("header universe must be a list of market codes")
            orders = []
            if type(obj.get("orders", [])) is not list:
                raise DecodeError("header orders must be a list")
            for i, o in enumerate(obj.get("orders", [])):
                if type(o) is not dict or type(o.get("order")) is not dict \
                        or "client_order_id" not in o:
                    raise DecodeError("header order %d needs client_order_id and order" % i)
                attrs = {k: decoder.value(v) for k, v in o["order"].items()}
                orders.append(HostOrder(parse_time(o.get("t"), "header order %d time" % i),
                                        decoder.value(o["client_order_id"]), attrs))
            meta = obj.get("meta", {})
        except DecodeError as exc:
            raise SessionError("bad session header: %s" % (exc,)) from None
        return cls(start, end, config, universe, orders, meta if type(meta) is dict else {},
                   version)


def _dumps(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False, allow_nan=False)
