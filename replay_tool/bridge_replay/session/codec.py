"""Values in a session: records, enumeration members by name, and the tagged
form of values plain JSON cannot carry (members, nested records, tuples,
dicts, non-finite floats, members no SDK need have); the time stamps' text."""

import datetime as _dt
import enum
import math
import operator
import reprlib

import msgspec

# Deepest nesting of arrays and objects a session line may have. Real records
# nest a few levels; the tagged values are decoded by recursion in Python, on
# the player's thread, which must stay well inside any interpreter's limit.
MAX_DEPTH = 100
TOO_DEEP = "nested deeper than %d levels" % MAX_DEPTH


class Record:
    """A gateway record read from a session: only the attributes it was given."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def __repr__(self):
        return "Record(%s)" % ", ".join("%s=%r" % kv for kv in self.__dict__.items())


_new_record = object.__new__


def make_record(attrs):
    """A Record owning ``attrs`` (a dict with text keys), without copying it."""
    r = _new_record(Record)
    r.__dict__ = attrs
    return r


# ---------------------------------------------------------------- enumerations

class Member:
    """An enumeration member known only by name ("OrderStatusType.Filled"), for
    writing sessions without importing the SDK or the host. Interned: use
    ``member(text)``."""

    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


_MEMBERS = {}


def member(text):
    found = _MEMBERS.get(text)
    if found is None:
        found = _MEMBERS.setdefault(text, Member(text))
    return found


class Other:
    """A value standing for an enumeration member outside those the bridge
    tells apart (a gateway order status beyond its nine), written as
    ``{"$other": text}``. It equals nothing but itself, whatever the SDK
    has, so a session holding one replays alike on any SDK; ``text`` is for
    people and logs. Made by ``other(text)``, which interns the first few
    thousand texts (a hostile session must not grow the table without end)."""

    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text

    # False, never NotImplemented: on the left of ==, no member's __eq__ gets a say.
    def __eq__(self, value):
        return self is value

    def __ne__(self, value):
        return self is not value

    __hash__ = object.__hash__

    def __repr__(self):
        return self.text

    __str__ = __repr__

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def __reduce__(self):
        return other, (self.text,)


_OTHERS = {}


def other(text):
    found = _OTHERS.get(text)
    if found is None:
        found = Other(text)
        if len(_OTHERS) < 4096:
            found = _OTHERS.setdefault(text, found)
    return found


def _is_enumeration(cls):
    if not isinstance(cls, type):
        return False
    if issubclass(cls, enum.Enum):
        return cls is not enum.Enum and len(cls.__members__) > 0
    # A plain class (a native SDK's, say) whose members are instances of it.
    return any(type(v) is cls for k, v in vars(cls).items() if not k.startswith("_"))


class Enumerations:
    """Enumeration classes by name, for writing members as "Class.member" and
    reading them back. Works for ``enum.Enum`` classes and for plain classes
    whose members are instances of the class."""

    def __init__(self, classes=()):
        self.by_name = {}
        self._names = {}  # class -> {id(member): name}
        for cls in classes:
            self.add(cls)

    @classmethod
    def from_namespace(cls, *namespaces, extra=()):
        out = cls()
        for ns in namespaces:
            for value in list(ns.values()):
                if _is_enumeration(value):
                    out.add(value)
        for value in extra:
            out.add(value)
        return out

    def add(self, cls):
        if issubclass(cls, enum.Enum):
            names = {id(m): m.name for m in cls}
        else:
            names = {id(v): k for k, v in vars(cls).items()
                     if not k.startswith("_") and type(v) is cls}
        self.by_name[cls.__name__] = cls
        self._names[cls] = names

    def name_of(self, value):
        """"Class.member" for a member of a known class, else None."""
        names = self._names.get(type(value))
        if names is None:
            return None
        name = names.get(id(value))
        if name is None:
            # A copy of a member (deepcopy of a plain object) still names it.
            name = getattr(value, "name", None)
            if type(name) is not str or id(vars(type(value)).get(name)) not in names:
                return None
        return "%s.%s" % (type(value).__name__, name)

    def knows(self, text):
        cls_name, dot, _ = text.partition(".")
        return bool(dot) and cls_name in self.by_name

    def lookup(self, text):
        """The member for "Class.member"; KeyError-free: raises DecodeError."""
        cls_name, _, name = text.partition(".")
        cls = self.by_name[cls_name]
        if issubclass(cls, enum.Enum):
            try:
                return cls[name]
            except KeyError:
                pass
        else:
            value = vars(cls).get(name)
            if value is not None and type(value) is cls:
                return value
        raise DecodeError("%s: %s has no member %s" % (shown(text), cls_name, shown(name)))


# ---------------------------------------------------------------- encoding

class DecodeError(Exception):
    pass


_PLAIN = (type(None), bool, int, str)


def _plain(value):
    t = type(value)
    if t in _PLAIN:
        return True
    if t is float:
        return math.isfinite(value)
    if t is list:
        for v in value:
            tv = type(v)
            if tv not in _PLAIN and not (tv is float and math.isfinite(v)):
                return False
        return True
    return False


def _plain_list(v, _inf=float("inf")):
    # A finite sum of ints and floats says every element is a finite number.
    try:
        total = sum(v)
    except (TypeError, OverflowError):  # a huge int beside a float: checked one by one
        return _plain(v)
    t = type(total)
    if t is int or (t is float and total - total == 0.0):
        return True
    return _plain(v)


def record_attrs(record):
    """The attributes of a record object, in definition order, or None."""
    d = getattr(record, "__dict__", None)
    if d is not None and not isinstance(record, type):
        return {k: v for k, v in d.items() if not k.startswith("_")}
    slots = []
    for cls in type(record).__mro__:
        s = cls.__dict__.get("__slots__", ())
        slots.extend([s] if isinstance(s, str) else s)
    if slots:
        return {n: getattr(record, n) for n in slots
                if not n.startswith("_") and hasattr(record, n)}
    return None


class ValueEncoder:
    """Turns values and records into their tagged form."""

    def __init__(self, enums):
        self.enums = enums
        self._json = msgspec.json.Encoder()
        self._plans = {}
        self._member_names = {}

    def value(self, value, where="value"):
        """The tagged form of any value (nested records, members, tuples...)."""
        t = type(value)
        if value is None or t is bool or t is int:
            return value
        if t is float:
            if math.isfinite(value):
                return value
            return {"$float": "nan" if value != value else ("inf" if value > 0 else "-inf")}
        if t is str:
            return {"$str": value} if self.enums.knows(value) else value
        if t is Member:
            return value.text
        if t is Other:
            return {"$other": value.text}
        name = self.enums.name_of(value)
        if name is not None:
            return name
        if isinstance(value, enum.Enum):
            raise TypeError("%s: enumeration %s is not one the session knows"
                            % (where, type(value).__name__))
        if t is list:
            return [self.value(v, where) for v in value]
        if t is tuple:
            return {"$tuple": [self.value(v, where) for v in value]}
        if t is dict:
            return {"$dict": {_key(k, where): self.value(v, where) for k, v in value.items()}}
        if isinstance(value, (bool, int)):
            return int(value)
        if isinstance(value, float):
            return self.value(float(value), where)
        if isinstance(value, str):
            return self.value(str(value), where)
        item = getattr(value, "item", None)  # numpy scalars
        if item is not None and hasattr(value, "dtype"):
            return self.value(item(), where)
        attrs = value if isinstance(value, AttrDict) else record_attrs(value)
        if attrs is not None:
            return {k: self.value(v, "%s.%s" % (where, k)) for k, v in attrs.items()}
        raise TypeError("%s: cannot write a %s to a session" % (where, t.__name__))

    def record(self, attrs, where):
        """(plain attributes, tagged others) of a record's attribute dict."""
        # Records of one kind keep their attribute names and value types, so the
        # sorting into plain and tagged is planned once per shape; the values
        # are then checked in bulk (a finite sum says the numbers are plain).
        values = attrs.values()
        shape = (tuple(attrs), tuple(map(type, values)))
        plan = self._plans.get(shape)
        if plan is None:
            if len(self._plans) >= 4096:  # records of ever new shapes: keep it bounded
                self._plans.clear()
            plan = self._plans[shape] = self._plan(*shape)
        floats, lists, tagged = plan
        if floats is not None:
            total = sum(floats(attrs))
            if total - total != 0.0:
                return self._record(attrs, where)
        if lists is not None:
            try:
                total = sum(map(sum, lists(attrs)))
            except Exception:  # not all numbers: sorted one by one
                return self._record(attrs, where)
            t = type(total)
            if not (t is int or (t is float and total - total == 0.0)):
                return self._record(attrs, where)
        if not tagged:
            return attrs, {}
        plain = dict(attrs)
        x = {}
        known = self._member_names
        for k in tagged:
            v = plain.pop(k)
            if k[:1] != "_":
                hit = known.get(id(v))
                if hit is not None and hit[0] is v:
                    x[k] = hit[1]
                    continue
                name = self.enums.name_of(v)
                if name is None:
                    x[k] = self.value(v, "%s.%s" % (where, k))
                else:
                    x[k] = name
                    if len(known) < 4096:
                        # held here, so its id cannot pass to another object
                        known[id(v)] = (v, name)
        return plain, x

    @staticmethod
    def _plan(keys, types):
        floats, lists, tagged = [], [], []
        for k, t in zip(keys, types):
            if t is float:
                floats.append(k)
            elif t is list:
                lists.append(k)
            elif not (t is int or t is str or t is type(None)):
                tagged.append(k)

        def getter(ks):
            if not ks:
                return None
            if len(ks) == 1:
                return lambda d, k=ks[0]: (d[k],)
            return operator.itemgetter(*ks)
        return getter(floats), getter(lists), tuple(tagged)

    def _record(self, attrs, where):
        plain, x = {}, {}
        name_of = self.enums.name_of
        for k, v in attrs.items():
            t = type(v)
            if t is float:
                if v - v == 0.0:  # finite
                    plain[k] = v
                    continue
            elif t is int or t is str or v is None:
                plain[k] = v
                continue
            elif t is list and _plain_list(v):
                plain[k] = v
                continue
            if k[:1] != "_":
                name = name_of(v)
                x[k] = name if name is not None else self.value(v, "%s.%s" % (where, k))
        return plain, x


class AttrDict(dict):
    """Attributes already captured from a record (the recorder's form)."""

    __slots__ = ()


def _key(k, where):
    if not isinstance(k, str):
        raise TypeError("%s: dictionary keys must be text, not %r" % (where, k))
    return k


def format_time(t):
    text = t.isoformat()
    # isoformat() leaves out zero microseconds; the files always carry them.
    return text if len(text) != 19 else text + ".000000"


# ---------------------------------------------------------------- decoding

class Decoder:
    """Turns tagged values back into Python values (members, records...)."""

    def __init__(self, enums):
        self.enums = enums

    def value(self, value, _depth=0):
        t = type(value)
        if t is str:
            if self.enums.knows(value):
                return self.enums.lookup(value)
            return value
        if t is list or t is dict:
            if _depth >= MAX_DEPTH:
                raise DecodeError(TOO_DEEP)
            _depth += 1
            if t is list:
                return [self.value(v, _depth) for v in value]
            if len(value) == 1:
                (tag, inner), = value.items()
                if tag.startswith("$"):
                    return self._tag(tag, inner, _depth)
            return make_record({k: self.value(v, _depth) for k, v in value.items()})
        return value

    def _tag(self, tag, inner, depth):
        if tag == "$str" and type(inner) is str:
            return inner
        if tag == "$tuple" and type(inner) is list:
            return tuple([self.value(v, depth) for v in inner])
        if tag == "$dict" and type(inner) is dict:
            return {k: self.value(v, depth) for k, v in inner.items()}
        if tag == "$float" and inner in ("nan", "inf", "-inf"):
            return float(inner)
        if tag == "$other" and type(inner) is str:
            return other(inner)
        raise DecodeError("unknown tag %s: %s" % (shown(tag), shown(inner)))

    def record_v1(self, obj):
        attrs = {}
        for k, v in obj.items():
            t = type(v)
            if t is str or t is dict or (t is list and not all(
                    type(e) is float or type(e) is int for e in v)):
                attrs[k] = self.value(v)
            else:
                attrs[k] = v
        return attrs


_fromisoformat = _dt.datetime.fromisoformat


def parse_time(text, what="t"):
    if type(text) is not str:
        raise DecodeError("%s must be an ISO date and time text, not %s" % (what, shown(text)))
    try:
        t = _fromisoformat(text)
    except ValueError:
        raise DecodeError("%s %s is not an ISO date and time" % (what, shown(text))) from None
    if t.tzinfo is not None:
        raise DecodeError("%s %s carries a time zone; sessions keep naive local time"
                           % (what, shown(text)))
    return t


def too_deep(value, depth=0):
    """Whether arrays and objects in ``value`` nest deeper than MAX_DEPTH;
    ``depth``: how many enclose ``value``. Without recursion, and holding no
    more than one iterator per level."""
    t = type(value)
    if t is not list and t is not dict and t is not tuple:
        return False
    if depth >= MAX_DEPTH:
        return True
    stack = [iter(value.values() if t is dict else value)]
    while stack:
        for item in stack[-1]:
            t = type(item)
            if t is list or t is dict or t is tuple:
                if depth + len(stack) >= MAX_DEPTH:
                    return True
                stack.append(iter(item.values() if t is dict else item))
                break
        else:
            stack.pop()
    return False


_repr = reprlib.Repr()
_repr.maxstring = _repr.maxother = 60
_repr.maxlevel = 3


def shown(value):
    """A value as a message shows it: repr, cut short (a line can be megabytes)."""
    try:
        return _repr.repr(value)
    except Exception:  # a repr that fails, or a number too long to write out
        return "<%s>" % type(value).__name__
