"""The pre-flight check: what the installed bridge relies on from the host
framework and the SDK, held against the installed ones without running a
session; with ``smoke``, then a short generated session played through all
three.

The bridge's build installs beside it ``<module>.assumptions.json``, made from
the tables its code is built from: the imports of its modules and, per method
of MachStrategy, the module globals, enumeration members, calls (with their
arguments and keywords), gateway record attributes and host order attributes
it uses. ``run()`` finds that file without importing the bridge (whose import
is one of the things that may fail), imports the host and SDK modules it names
and gives each item a status:

- ``ok``: present; for a call, its signature takes the bridge's arguments;
- ``missing``: a module, name, member or attribute is absent;
- ``incompatible``: a callable whose signature cannot take the bridge's arguments;
- ``unknown``: what cannot be told without running (an attribute set on the
  instance, a signature that cannot be read, a record type nobody declares).

Record types come from the adapter's ``sample_records()`` (a sample record, or
its type), else from the annotations of the SDK strategy's callbacks; the host
order from the adapter's ``sample_order()``. A type's attributes are those it
declares: class attributes and descriptors, ``__slots__``, annotations,
dataclass, msgspec and attrs fields, namedtuple fields.
"""

import copy
import difflib
import importlib
import importlib.util
import inspect
import json
import os
import tempfile
import textwrap
import types
import typing

from bridge_replay.host import HostAdapter
from bridge_replay.status import EXIT_FAILED, EXIT_OK

FORMAT = 1
SUFFIX = ".assumptions.json"
OK, MISSING, INCOMPATIBLE, UNKNOWN = "ok", "missing", "incompatible", "unknown"
STATUSES = (OK, MISSING, INCOMPATIBLE, UNKNOWN)
FAILING = (MISSING, INCOMPATIBLE)
SECTIONS = {"imports": "imports and module globals", "members": "enumeration members",
            "calls": "host and SDK calls", "records": "gateway record attributes",
            "order": "host order attributes"}
WIDTH = 100
AT_IMPORT = {"import": "raises"}

# What makes each method run, for saying when a failure would show.
WHEN = {
    "__init__": "the strategy is built", "initialize": "the SDK starts the strategy",
    "on_snapshot": "a snapshot arrives", "on_tick_order": "a level-2 order arrives",
    "on_tick_trade": "a level-2 trade arrives", "on_bar": "a bar arrives",
    "on_login": "the trading login answers", "on_query_asset": "the asset query answers",
    "on_query_position": "the position query answers", "on_order": "an order report arrives",
    "on_order_action_error": "an order action is refused",
    "on_algo_login": "the algo login answers",
    "on_create_algo_parent_order_res": "a parent order creation is answered",
    "on_cancel_algo_parent_order_res": "a parent order cancellation is answered",
    "on_control_algo_parent_order_res": "a pause or resume is answered",
    "on_algo_parent_order_update": "a parent order update arrives",
    "on_algo_child_order_update": "a child order update arrives",
    "on_algo_child_order_trade": "a child trade arrives",
    "create_time_listener": "the daily timer runs", "set_timer": "the daily timer runs",
    "send_day_event": "a phase event is sent",
    "send_before_trading_event": "the before-trading timer fires",
    "send_open_auction_event": "the open-auction timer fires",
    "send_after_trading_event": "the after-trading timer fires",
}


class CheckError(Exception):
    """The check cannot run: no bridge installed, or no data beside it."""


def _first_line(exc):
    text = str(exc).strip()
    return "%s: %s" % (type(exc).__name__, text.splitlines()[0]) if text else type(exc).__name__


def find_data(module_name):
    """(the bridge's extension file, its data file, the data), found without
    importing the bridge."""
    try:
        spec = importlib.util.find_spec(module_name)
    except Exception as exc:  # a parent package missing, or its __init__ failing
        raise CheckError("cannot find the bridge %s: %s" % (module_name, _first_line(exc))) from None
    if spec is None or not spec.origin or not os.path.isfile(spec.origin):
        raise CheckError("the bridge %s is not installed in this environment" % module_name)
    path = os.path.join(os.path.dirname(spec.origin), module_name.rpartition(".")[2] + SUFFIX)
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        raise CheckError("no %s beside the bridge (%s): it comes with the bridge's files; reinstall "
                         "the bridge, or copy it with them" % (os.path.basename(path), spec.origin)) from None
    except (OSError, ValueError) as exc:
        raise CheckError("cannot read %s: %s" % (path, exc)) from None
    if not isinstance(data, dict) or data.get("format") != FORMAT:
        raise CheckError("%s has format %r; this tool reads format %d" % (
            path, data.get("format") if isinstance(data, dict) else None, FORMAT))
    return spec.origin, path, data


def _join(names):
    names = list(names)
    return names[0] if len(names) == 1 else "%s and %s" % (", ".join(names[:-1]), names[-1])


def _suggest(name, candidates):
    close = difflib.get_close_matches(name, [c for c in candidates if isinstance(c, str)], n=3, cutoff=0.6)
    if len(close) == 1:
        return " (did you mean %s?)" % close[0]
    return " (similar: %s)" % ", ".join(close) if close else ""


def _exported(module):
    """The names `from module import *` binds."""
    names = getattr(module, "__all__", None)
    if names is None:
        return {n for n in vars(module) if not n.startswith("_")}
    return set(names)


def _declared(cls):
    """(names an instance of cls is declared to have, whether cls declares its
    fields at all, whether it answers any name through __getattr__). Instances
    without a __dict__ (slots, a native type's getters) have only what their
    class declares."""
    names, dynamic = set(), False
    declares = getattr(cls, "__dictoffset__", 1) == 0
    for k in cls.__mro__:
        if k is object:
            continue
        ns = vars(k)
        names.update(ns)
        if "__getattr__" in ns:
            dynamic = True
        annotations = ns.get("__annotations__") or {}
        slots = ns.get("__slots__", ())
        if isinstance(slots, str):
            slots = (slots,)
        if annotations:
            declares = True
        names.update(annotations)
        names.update(slots)
    for fields in (getattr(cls, "__dataclass_fields__", None), getattr(cls, "__struct_fields__", None),
                   getattr(cls, "_fields", None)):
        if fields:
            declares = True
            names.update(fields)
    attrs = getattr(cls, "__attrs_attrs__", None)
    if attrs:
        declares = True
        names.update(a.name for a in attrs)
    return names, declares, dynamic


def _class_of_annotation(annotation):
    """The class an annotation names; for a list of records, the record's."""
    if isinstance(annotation, type):
        return annotation
    args = getattr(typing, "get_args", lambda a: ())(annotation)
    if args and isinstance(args[0], type):
        return args[0]
    return None


def _hints(obj):
    try:
        return typing.get_type_hints(obj)
    except Exception:
        return getattr(obj, "__annotations__", None) or {}


# A step of a call path resolved statically: a known object, an instance of a
# known class, or an attribute that is there but whose value cannot be told.
class _Known:
    def __init__(self, value, bound=False):
        self.value = value
        self.bound = bound  # a function found on a class, called on an instance


class _Instance:
    def __init__(self, cls, note=""):
        self.cls = cls
        self.note = note


class _Unknown(Exception):
    pass


class _Missing(Exception):
    pass


class Checker:
    """The items of one check, in ``items``: dicts with the section, what was
    checked, its status, a detail and, for a failing one, what the bridge
    would do when it meets it."""

    def __init__(self, data, adapter):
        self.data = data
        self.adapter = adapter
        self.bridge = data["bridge"]
        self.items = []
        self._modules = {}
        self._globals = {g["name"]: g for g in data.get("globals", ())}
        self._order = {m: i for i, m in enumerate(["import"] + list(data.get("methods", ())))}

    # ------------------------------------------------------------ helpers

    def add(self, section, what, status, detail="", consequence="", used_by=None):
        self.items.append({"section": section, "what": what, "status": status, "detail": detail,
                           "consequence": consequence if status in FAILING else "",
                           "used_by": sorted(used_by or (), key=self._order.get)})

    def consequence(self, used_by, error):
        parts = []
        raises = [m for m, how in used_by.items() if how == "raises" and m != "import"]
        skips = [m for m, how in used_by.items() if how == "skips"]
        if "import" in used_by:
            parts.append("import of %s fails (%s)" % (self.bridge, error))
        if len(raises) == 1:
            when = WHEN.get(raises[0])
            parts.append("%s raises %s%s" % (raises[0], error, " when %s" % when if when else ""))
        elif raises:
            parts.append("%s raise %s" % (_join(raises), error))
        if skips:
            parts.append("%s skip%s every record it is given (%s, logged as a warning)" % (
                _join(skips), "s" if len(skips) == 1 else "", error))
        return "; ".join(parts)

    def module(self, name):
        """(module, None), or (None, why it cannot be imported)."""
        if name not in self._modules:
            try:
                self._modules[name] = (importlib.import_module(name), None)
            except Exception as exc:
                self._modules[name] = (None, _first_line(exc))
        return self._modules[name]

    def global_value(self, name):
        """The value the bridge's module global `name` would have."""
        g = self._globals.get(name)
        if g is None:
            raise _Unknown("%s is not one of the bridge's module globals" % name)
        mod, error = self.module(g["module"])
        if mod is None:
            raise _Unknown("%s cannot be imported (%s)" % (g["module"], error))
        if g.get("whole_module"):
            return mod
        attr = g.get("imported_as", name)
        if g.get("star") and attr not in _exported(mod):
            raise _Unknown("%s does not export %s" % (g["module"], attr))
        try:
            return getattr(mod, attr)
        except AttributeError:
            try:
                return importlib.import_module("%s.%s" % (g["module"], attr))
            except Exception:
                raise _Unknown("%s has no %s" % (g["module"], attr)) from None

    def sdk_base(self):
        """The SDK strategy class the bridge's MachStrategy derives from."""
        return getattr(self.global_value("strategy"), "MachStrategy")

    def _adapter(self, method, default):
        fn = getattr(self.adapter, method, None)
        if fn is None:
            return default, ""
        try:
            return fn(), ""
        except Exception as exc:
            return default, "the adapter's %s() raised %s" % (method, _first_line(exc))

    # ------------------------------------------------------------ imports

    def check_imports(self):
        for entry in self.data["modules"]:
            fails = "import of %s fails" % entry["module"]
            for row in entry["imports"]:
                module = row["module"]
                if row.get("own"):
                    try:
                        found = importlib.util.find_spec(module) is not None
                    except Exception:
                        found = False
                    self.add("imports", "import %s (one of the bridge's modules)" % module,
                             OK if found else MISSING, "" if found else "not installed",
                             "%s (ModuleNotFoundError)" % fails, AT_IMPORT)
                    continue
                mod, error = self.module(module)
                kind = "ModuleNotFoundError" if error and error.startswith("ModuleNotFoundError") else "ImportError"
                if "names" not in row:
                    what = "from %s import *" % module if row.get("star") else "import %s" % module
                    self.add("imports", what, OK if mod else MISSING, error or "", "%s (%s)" % (fails, kind),
                             AT_IMPORT)
                    continue
                for n in row["names"]:
                    what = "from %s import %s" % (module, n["name"])
                    if mod is None:
                        self.add("imports", what, MISSING, error, "%s (%s)" % (fails, kind), AT_IMPORT)
                    elif hasattr(mod, n["name"]) or self._submodule(module, n["name"]):
                        self.add("imports", what, OK, used_by=AT_IMPORT)
                    else:
                        self.add("imports", what, MISSING,
                                 "%s has no %s%s" % (module, n["name"], _suggest(n["name"], dir(mod))),
                                 "%s (ImportError)" % fails, AT_IMPORT)
        for g in self.data.get("globals", ()):
            if not g.get("star"):
                continue
            mod, _ = self.module(g["module"])
            if mod is None:
                continue  # the star import itself is reported missing
            exported = _exported(mod)
            what = "%s (from %s import *)" % (g["name"], g["module"])
            if g["name"] in exported:
                self.add("imports", what, OK, used_by=g["used_by"])
            else:
                why = ("%s defines %s but leaves it out of __all__" % (g["module"], g["name"])
                       if hasattr(mod, g["name"]) else
                       "%s does not define %s%s" % (g["module"], g["name"], _suggest(g["name"], exported)))
                self.add("imports", what, MISSING, why, self.consequence(g["used_by"], "NameError"), g["used_by"])
        for r in self.data.get("runtime_imports", ()):
            what = "from %s import %s (at each call)" % (r["module"], r["name"])
            mod, error = self.module(r["module"])
            if mod is not None and (hasattr(mod, r["name"]) or self._submodule(r["module"], r["name"])):
                self.add("imports", what, OK, used_by=r["used_by"])
            else:
                self.add("imports", what, MISSING, error or "%s has no %s" % (r["module"], r["name"]),
                         self.consequence(r["used_by"], "ImportError"), r["used_by"])

    @staticmethod
    def _submodule(module, name):
        try:
            return importlib.util.find_spec("%s.%s" % (module, name)) is not None
        except Exception:
            return False

    # ------------------------------------------------------------ members

    def check_members(self):
        runtime = {r["name"]: r["module"] for r in self.data.get("runtime_imports", ())}
        for m in self.data.get("members", ()):
            what = "%s.%s" % (m["owner"], m["name"])
            try:
                if m["owner"] in runtime and m["module"] == runtime[m["owner"]]:
                    mod, error = self.module(m["module"])
                    if mod is None or not hasattr(mod, m["owner"]):
                        raise _Unknown("%s cannot be imported" % m["owner"])
                    owner = getattr(mod, m["owner"])
                else:
                    owner = self.global_value(m["owner"])
            except _Unknown as exc:
                self.add("members", what, UNKNOWN, "not checked: %s" % exc, used_by=m["used_by"])
                continue
            members = getattr(owner, "__members__", None)
            names = list(members) if isinstance(members, typing.Mapping) else dir(owner)
            try:
                present = m["name"] in members if isinstance(members, typing.Mapping) else hasattr(owner, m["name"])
            except Exception as exc:
                self.add("members", what, UNKNOWN, "reading it raised %s" % _first_line(exc), used_by=m["used_by"])
                continue
            if present:
                self.add("members", what, OK, used_by=m["used_by"])
            else:
                self.add("members", what, MISSING, "%s has no member %s%s" % (
                    m["owner"], m["name"], _suggest(m["name"], names)),
                    self.consequence(m["used_by"], "AttributeError"), m["used_by"])

    # ------------------------------------------------------------ calls

    def _root(self, name, order):
        if name == "order":
            if order is None:
                raise _Unknown("the adapter gives no sample order")
            return _Known(order)
        if name == "context":
            hint = _class_of_annotation(_hints(self.sdk_base()).get("context"))
            if hint is None:
                raise _Unknown("the SDK does not declare the type of the strategy's context")
            return _Instance(hint)
        if name == "super":
            return _Known(self.sdk_base())
        return _Known(self.global_value(name))

    @staticmethod
    def _attr(state, name, last):
        if isinstance(state, _Known):
            if not state.bound:
                try:
                    return _Known(getattr(state.value, name))
                except AttributeError:
                    raise _Missing("%s has no %s" % (_name_of(state.value), name)) from None
                except Exception as exc:
                    raise _Unknown("reading %s raised %s" % (name, _first_line(exc))) from None
            raise _Unknown("cannot tell what %s gives" % name)
        cls = state.cls
        try:
            found = inspect.getattr_static(cls, name)
        except AttributeError:
            names, declares, dynamic = _declared(cls)
            if name in names:
                hint = _class_of_annotation(_hints(cls).get(name))
                if hint is not None:
                    return _Instance(hint)
                raise _Unknown("%s declares %s but not what it holds" % (cls.__qualname__, name))
            if last:
                # A method is looked up on the class; one set on the instance
                # would be unusual enough to count as missing.
                raise _Missing("%s defines no %s%s" % (cls.__qualname__, name, _suggest(name, dir(cls))))
            if dynamic or not declares:
                raise _Unknown("%s does not declare %s: it may be set on the instance" % (
                    cls.__qualname__, name)) from None
            raise _Missing("%s has no %s" % (cls.__qualname__, name)) from None
        if isinstance(found, (staticmethod, classmethod)):
            return _Known(getattr(cls, name))
        if inspect.isfunction(found) or isinstance(found, (types.WrapperDescriptorType,
                                                           types.MethodDescriptorType)):
            return _Known(found, bound=True)
        if isinstance(found, property):
            hint = _class_of_annotation(_hints(found.fget).get("return")) if found.fget else None
            if hint is not None:
                return _Instance(hint)
            raise _Unknown("%s.%s is a property of unknown type" % (cls.__qualname__, name))
        if hasattr(found, "__get__"):
            raise _Unknown("%s.%s is a descriptor of unknown type" % (cls.__qualname__, name))
        return _Known(found)

    @staticmethod
    def _call(state):
        if isinstance(state, _Instance):
            raise _Unknown("cannot tell what calling an instance of %s gives" % state.cls.__qualname__)
        fn = state.value
        if isinstance(fn, type):
            return _Instance(fn)
        hint = _class_of_annotation(_hints(fn).get("return"))
        if hint is not None:
            return _Instance(hint)
        owner = getattr(fn, "__self__", None)
        if isinstance(owner, type):
            # A class's own accessor with no return type (get_instance):
            # taken to give an instance of that class.
            return _Instance(owner, "taken as an instance of %s" % owner.__qualname__)
        raise _Unknown("cannot tell what %s() gives" % _name_of(fn))

    def check_calls(self):
        order, note = self._adapter("sample_order", None)
        for c in self.data.get("calls", ()):
            args = ["%d positional" % c["positional"]] if c["positional"] else []
            if c.get("event"):
                args = [c["event"]]
            args += ["%s=" % k for k in c["keywords"]]
            what = "%s(%s)" % (c["call"], ", ".join(args))
            notes = []
            try:
                steps = c["call"].replace("()", ".()").split(".")
                state = self._root(steps[0], order)
                for i, step in enumerate(steps[1:], 1):
                    if step == "()":
                        state = self._call(state)
                        if state.note:
                            notes.append(state.note)
                    else:
                        state = self._attr(state, step, i == len(steps) - 1)
            except _Missing as exc:
                self.add("calls", what, MISSING, str(exc), self.consequence(c["used_by"], "AttributeError"),
                         c["used_by"])
                continue
            except _Unknown as exc:
                why = "%s; %s" % (exc, note) if note and c["call"].startswith("order.") else str(exc)
                self.add("calls", what, UNKNOWN, why, used_by=c["used_by"])
                continue
            if not isinstance(state, _Known) or not callable(state.value):
                self.add("calls", what, UNKNOWN, "cannot tell whether %s is callable" % c["call"],
                         used_by=c["used_by"])
                continue
            try:
                sig = inspect.signature(state.value)
            except (TypeError, ValueError):
                self.add("calls", what, UNKNOWN, "its signature cannot be read", used_by=c["used_by"])
                continue
            filler = [None] * (c["positional"] + (1 if state.bound else 0))
            try:
                sig.bind(*filler, **dict.fromkeys(c["keywords"]))
            except TypeError as exc:
                self.add("calls", what, INCOMPATIBLE, "takes %s: %s" % (sig, _why(sig, c["keywords"], exc)),
                         self.consequence(c["used_by"], "TypeError"), c["used_by"])
                continue
            self.add("calls", what, OK, "; ".join(notes), used_by=c["used_by"])

    # ------------------------------------------------------------ records

    def _record_source(self, method, samples):
        """(sample or None, type or None, where it comes from)."""
        sample = samples.get(method)
        if isinstance(sample, type):
            return None, sample, "the adapter's record type %s" % sample.__qualname__
        if sample is not None:
            return sample, None, "the adapter's sample record"
        try:
            base = self.sdk_base()
        except Exception:
            return None, None, "the SDK strategy class cannot be read"
        fn = getattr(base, method, None)
        if fn is not None:
            params = [p for p in _param_names(fn)][1:2]
            hint = _class_of_annotation(_hints(fn).get(params[0])) if params else None
            if hint is not None:
                return None, hint, "%s.%s's annotation" % (base.__qualname__, method)
        return None, None, "neither the adapter nor the SDK gives its record type"

    def check_records(self):
        samples, note = self._adapter("sample_records", {})
        if not isinstance(samples, typing.Mapping):
            samples, note = {}, "the adapter's sample_records() gave no mapping"
        for method, record in self.data.get("records", {}).items():
            sample, cls, source = self._record_source(method, samples)
            argument = record["argument"] + ("[i]" if record["each"] else "")
            if cls is not None:
                names, declares, dynamic = _declared(cls)
            for a in record["attributes"]:
                what = "%s: %s.%s" % (method, argument, a["name"])
                if sample is not None:
                    try:
                        present = hasattr(sample, a["name"])
                    except Exception as exc:
                        self.add("records", what, UNKNOWN, "reading it raised %s" % _first_line(exc),
                                 used_by=a["used_by"])
                        continue
                    status = OK if present else MISSING
                    detail = "" if present else "%s has none" % source
                elif cls is None:
                    status, detail = UNKNOWN, source + ("; " + note if note else "")
                elif a["name"] in names:
                    status, detail = OK, ""
                elif dynamic or not declares:
                    status, detail = UNKNOWN, "%s (%s) declares no such field but may have it" % (
                        source, cls.__qualname__)
                else:
                    status, detail = MISSING, "%s (%s) has no %s%s" % (
                        source, cls.__qualname__, a["name"], _suggest(a["name"], names))
                self.add("records", what, status, detail, self.consequence(a["used_by"], "AttributeError"),
                         a["used_by"])

    # ------------------------------------------------------------ host order

    def check_order(self):
        order, note = self._adapter("sample_order", None)
        for a in self.data.get("order_attributes", ()):
            how = "read and set" if a["read"] and a["set"] else "read" if a["read"] else "set"
            what = "order.%s (%s)" % (a["name"], how)
            if order is None:
                self.add("order", what, UNKNOWN, note or "the adapter gives no sample order", used_by=a["used_by"])
                continue
            if a["read"] and not hasattr(order, a["name"]):
                self.add("order", what, MISSING, "the sample order (%s) has none%s" % (
                    type(order).__qualname__, _suggest(a["name"], dir(order))),
                    self.consequence(a["used_by"], "AttributeError"), a["used_by"])
                continue
            if a["set"]:
                try:
                    setattr(copy.copy(order), a["name"], getattr(order, a["name"], None))
                except Exception as exc:
                    self.add("order", what, MISSING, "cannot be set on the sample order: %s" % _first_line(exc),
                             self.consequence(a["used_by"], type(exc).__name__), a["used_by"])
                    continue
            self.add("order", what, OK, used_by=a["used_by"])

    def run(self):
        self.check_imports()
        self.check_members()
        self.check_calls()
        self.check_records()
        self.check_order()
        return self.items


def _why(sig, keywords, error):
    """Why a signature cannot take the keywords: the ones it has no parameter
    for (a renamed one), then what binding said."""
    kinds = {p.name: p.kind for p in sig.parameters.values()}
    if inspect.Parameter.VAR_KEYWORD in kinds.values():
        return str(error)
    unknown = [k for k in keywords if kinds.get(k) not in (inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                                           inspect.Parameter.KEYWORD_ONLY)]
    if not unknown or str(error).endswith("'%s'" % unknown[0]):
        return str(error)
    return "no parameter %s; %s" % (_join(unknown), error)


def _name_of(obj):
    return getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None) or type(obj).__name__


def _param_names(fn):
    try:
        return list(inspect.signature(fn).parameters)
    except (TypeError, ValueError):
        return []


def _package_path(name):
    try:
        spec = importlib.util.find_spec(name)
    except Exception:
        return None
    if spec is None:
        return None
    locations = list(spec.submodule_search_locations or ())
    return locations[0] if locations else spec.origin


def smoke(adapter):
    """Plays a short generated session through the installed bridge, host and
    SDK: a dict with the outcome, the exit status a replay would give, and the
    first callback errors."""
    from bridge_replay.errors import ReplayError
    from bridge_replay.generate import generate
    from bridge_replay.player import Player
    from bridge_replay.session.schema import SessionError
    from bridge_replay.summary import outcome

    with tempfile.TemporaryDirectory(prefix="bridge-check-") as tmp:
        path = os.path.join(tmp, "smoke.jsonl")
        lines = generate(path, instruments=2, hours=0.05, orders=11, snapshot_interval=30,
                         l2_per_minute=1)
        player = None
        try:
            player = Player(path, host=adapter)
            summary, failure = player.run(), None
        except (SessionError, ReplayError) as exc:
            summary, failure = player.summary if player else None, exc
        except Exception as exc:
            return {"callbacks": lines, "played": 0, "exit_status": EXIT_FAILED,
                    "outcome": "FAILED: %s" % _first_line(exc), "errors": []}
    if summary is None:
        return {"callbacks": lines, "played": 0, "exit_status": EXIT_FAILED,
                "outcome": "FAILED: %s" % (str(failure).splitlines() or [failure])[0], "errors": []}
    status, last = outcome(summary, failure)
    # The errors are listed with the outcome here, not above it.
    last = last.replace(" (see above)", "")
    return {"callbacks": lines, "played": summary["callbacks_total"],
            "events": summary["events"]["drained_total"], "exit_status": status, "outcome": last,
            "errors": ["%s: %s" % (e["callback"], e["error"]) for e in summary["callback_errors"]["first"][:3]]}


def run(adapter, adapter_name=None, with_smoke=False):
    """The check's report (a dict, as ``--json`` prints it)."""
    bridge = getattr(adapter, "bridge", HostAdapter.bridge)
    report = {"bridge": bridge, "adapter": adapter_name, "paths": {}, "error": None,
              "counts": {s: dict.fromkeys(STATUSES, 0) for s in SECTIONS}, "items": [], "smoke": None}
    try:
        so, path, data = find_data(bridge)
    except CheckError as exc:
        report["error"] = str(exc)
    else:
        report["paths"] = {"bridge": so, "data": path}
        for role, package in sorted(data.get("packages", {}).items()):
            if package:
                report["paths"][role] = _package_path(package)
        report["items"] = Checker(data, adapter).run()
    for item in report["items"]:
        report["counts"][item["section"]][item["status"]] += 1
    if with_smoke:
        report["smoke"] = smoke(adapter)
    failing = sum(1 for i in report["items"] if i["status"] in FAILING)
    bad_smoke = report["smoke"] is not None and report["smoke"]["exit_status"] != EXIT_OK
    report["exit_status"] = EXIT_FAILED if report["error"] or failing or bad_smoke else EXIT_OK
    return report


def _wrap(text, indent):
    return textwrap.wrap(text, WIDTH, initial_indent=indent, subsequent_indent=indent,
                         break_on_hyphens=False) or [indent]


def _grouped(items):
    """The unknown attributes of one record (or of the host order) for one
    reason, as one item."""
    out, groups = [], {}
    for item in items:
        if item["status"] != UNKNOWN or item["section"] not in ("records", "order"):
            out.append(item)
            continue
        head, _, name = item["what"].partition(".") if item["section"] == "order" else item["what"].rpartition(".")
        key = (item["section"], head, item["detail"])
        if key in groups:
            groups[key]["names"].append(name)
            continue
        groups[key] = dict(item, names=[name], head=head)
        out.append(groups[key])
    for item in out:
        if len(item.get("names", ())) > 1:
            item["what"] = "%s.{%s}" % (item["head"], ", ".join(item["names"]))
    return out


def format_report(report):
    """The report as a readable table, lines of at most 100 characters."""
    out = ["Pre-flight check of %s against the installed host and SDK" % report["bridge"]]
    for role, path in report["paths"].items():
        out.append("  %-8s %s" % (role, path or "(not installed)"))
    if report["adapter"]:
        out.append("  %-8s %s" % ("adapter", report["adapter"]))
    if report["error"]:
        out += [""] + _wrap("cannot check: %s" % report["error"], "")
    if report["items"]:
        out += ["", "  %-28s %6s %8s %13s %8s" % ("", OK, MISSING, INCOMPATIBLE, UNKNOWN)]
        for section, title in SECTIONS.items():
            n = report["counts"][section]
            out.append("  %-28s %6d %8d %13d %8d" % (title, n[OK], n[MISSING], n[INCOMPATIBLE], n[UNKNOWN]))
    for wanted in (FAILING, (UNKNOWN,)):
        listed = _grouped([i for i in report["items"] if i["status"] in wanted])
        if listed:
            out.append("")
        for item in listed:
            out += textwrap.wrap(item["what"], WIDTH, initial_indent="%-13s" % item["status"].upper(),
                                 subsequent_indent=" " * 13, break_on_hyphens=False)
            for text in (item["consequence"], item["detail"]):
                if text:
                    out += _wrap(text, " " * 13)
    s = report["smoke"]
    if s is not None:
        out += [""] + _wrap("smoke run: %s callbacks generated, %s played, %s events drained: %s" % (
            s["callbacks"], s["played"], s.get("events", 0), s["outcome"]), "")
        for e in s["errors"]:
            out += _wrap(e, "  ")
    failing = [i for i in report["items"] if i["status"] in FAILING]
    unknown = sum(1 for i in report["items"] if i["status"] == UNKNOWN)
    out.append("")
    if report["exit_status"] == EXIT_OK:
        out.append("OK: nothing the bridge relies on is missing" +
                   (" (%d unknown, listed above)" % unknown if unknown else ""))
    else:
        why = []
        if report["error"]:
            why.append("the check could not run")
        for status in FAILING:
            n = sum(1 for i in failing if i["status"] == status)
            if n:
                why.append("%d %s" % (n, status))
        if s is not None and s["exit_status"] != EXIT_OK:
            why.append("the smoke run failed")
        out.append("FAILED: %s" % ", ".join(why))
    return "\n".join(out)


def to_json(report):
    return json.dumps(report, indent=2, ensure_ascii=False) + "\n"

