#!/usr/bin/env python3
"""Writes the type stubs (.pyi) of the three extension modules from their .def
tables: the function, import and container tables of each module of
src/modules.txt, and for maviro the method table of MachStrategy.

    gen_stubs.py SRC_DIR OUT_DIR

SRC_DIR is the source tree's src/; the stubs go to OUT_DIR/<package path>/<module>.pyi.
Run by CMake at build time; the stubs are installed beside the extension files.
"""
import os
import re
import sys

HOST = "korvane"  # what comes from here (other than our own modules) is typed Any


def modules(src):
    """(module, table folder, package path of the extension file) for each
    module of src/modules.txt."""
    with open(os.path.join(src, "modules.txt"), encoding="utf-8") as f:
        names = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    return [(m, m.rpartition(".")[2], m.rpartition(".")[0].replace(".", "/")) for m in names]

# The native event queue's interface: a type of its own, not a table. stubtest
# checks it against the built module like the rest.
EVENT_QUEUE = '''
class EventQueue:
    def __init__(self, capacity: int, dtype: Any = ..., allow_overwrite: bool = ...) -> None: ...
    def append(self, value: Any, /) -> None: ...
    def appendleft(self, value: Any, /) -> None: ...
    def pop(self) -> Any: ...
    def popleft(self) -> Any: ...
    def extend(self, values: Iterable[Any], /) -> None: ...
    def extendleft(self, values: Iterable[Any], /) -> None: ...
    def __array__(self, dtype: Any = ..., copy: Any = ...) -> Any: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: Any, /) -> Any: ...
    def __iter__(self) -> Iterator[Any]: ...
    @property
    def is_full(self) -> bool: ...
    @property
    def maxlen(self) -> int: ...
    @property
    def dtype(self) -> Any: ...
    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def dropped(self) -> int: ...
'''


def strip_comments(text):
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if c == '"':
            j = i + 1
            while text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            i = text.find("\n", i)
            i = n if i < 0 else i
        else:
            out.append(c)
            i += 1
    return "".join(out)


def calls(text):
    """The macro calls NAME(args) at the top level of `text`: (name, [arg texts])."""
    i, n = 0, len(text)
    while i < n:
        m = re.compile(r"\s*([A-Za-z_]\w*)\s*\(").match(text, i)
        if not m:
            if text[i:].strip():
                raise ValueError("cannot read %r" % text[i:i + 40])
            return
        i = m.end()
        args, depth, start = [], 0, i
        while True:
            c = text[i]
            if c == '"':
                i += 1
                while text[i] != '"':
                    i += 2 if text[i] == "\\" else 1
            elif c == "(":
                depth += 1
            elif c == ")":
                if depth == 0:
                    args.append(text[start:i].strip())
                    i += 1
                    break
                depth -= 1
            elif c == "," and depth == 0:
                args.append(text[start:i].strip())
                start = i + 1
            i += 1
        yield m.group(1), args


def string(arg):
    """The value of adjacent C string literals."""
    parts = re.findall(r'"((?:[^"\\]|\\.)*)"', arg)
    if not parts:
        raise ValueError("not a string: %r" % arg)
    return "".join(parts).encode("latin-1", "backslashreplace").decode("unicode_escape").encode(
        "latin-1").decode("utf-8") if any("\\" in p for p in parts) else "".join(parts)


def params(arg):
    """P(name, "type") and D(name, "type", "default") rows: (name, type, default or None)."""
    out = []
    for kind, a in calls(arg):
        if kind == "P":
            out.append((a[0], string(a[1]), None))
        elif kind == "D":
            out.append((a[0], string(a[1]), string(a[2])))
        else:
            raise ValueError("unknown parameter row %s" % kind)
    return out


def table(src, folder, name):
    path = os.path.join(src, folder, name)
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return list(calls(strip_comments(f.read())))


def signature(ps, positional_only=False):
    text = []
    for name, type_, default in ps:
        p = name if not type_ else "%s: %s" % (name, type_)
        text.append(p if default is None else "%s = %s" % (p, default))
    if positional_only and ps:
        text.append("/")
    return ", ".join(text)


def import_lines(rows, ours):
    lines = []
    for kind, a in rows:
        if kind == "FROM":
            module = string(a[0])
            for n in a[1:]:
                alias = n
                m = re.match(r"AS\((.*)\)$", n, re.S)
                if m:
                    n, alias = [x.strip() for x in m.group(1).split(",")]
                name, alias = string(n), string(alias)
                if module.split(".")[0] == HOST and module not in ours:
                    lines.append("%s: Any" % alias)
                else:
                    lines.append("from %s import %s as %s" % (module, name, alias))
        elif kind == "IMPORT":
            module, alias = string(a[0]), string(a[1])
            parent, _, last = module.rpartition(".")
            if module.split(".")[0] == HOST:
                lines.append("%s: Any" % alias)
            elif parent:
                lines.append("from %s import %s as %s" % (parent, last, alias))
            else:
                lines.append("import %s as %s" % (module, alias))
        elif kind == "STAR":
            lines.append("from %s import *" % string(a[0]))
        else:
            raise ValueError("unknown import row %s" % kind)
    return lines


def stub(src, module, folder, ours=None):
    ours = ours if ours is not None else {m for m, _, _ in modules(src)}
    out = ['# Generated by tools/gen_stubs.py from src/%s/*.def: edit the tables, not this file.' % folder,
           "from typing import Any, Iterable, Iterator", ""]
    out += import_lines(table(src, folder, "imports.def"), ours)
    containers = table(src, folder, "containers.def")
    if any(kind == "QUEUE" for _, (_, kind, _) in containers):
        out.append(EVENT_QUEUE)
    for _, (name, _, type_) in containers:
        out.append("%s: %s" % (name, string(type_)))
    out.append("")
    for _, (name, kind, returns, ps, _doc) in table(src, folder, "functions.def"):
        out.append("def %s(%s) -> %s: ..." % (name, signature(params(ps), kind in ("O", "NOARGS")), string(returns)))
    methods = table(src, folder, "methods.def")
    if methods:
        out += ["", "class MachStrategy(strategy.MachStrategy):"]
        for _, (name, _impl, returns, ps, _doc) in methods:
            out.append("    def %s(%s) -> %s: ..." % (name, signature(params(ps)), string(returns)))
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: gen_stubs.py SRC_DIR OUT_DIR")
    src, out = argv[1], argv[2]
    mods = modules(src)
    ours = {m for m, _, _ in mods}
    for module, folder, package in mods:
        path = os.path.join(out, package, folder + ".pyi")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(stub(src, module, folder, ours))


if __name__ == "__main__":
    main(sys.argv)
