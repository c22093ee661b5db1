#!/usr/bin/env python3
"""Writes what the bridge relies on from the host framework and the SDK, as
JSON, from the tables the code is built from: the imports of every module of
src/modules.txt, and for a module with a uses.def (maviro) every module global,
enumeration member, call (with its arguments and keywords), gateway record
attribute and host order attribute each of its methods uses, with the methods
using it and what a failure there does ("raises", or "skips" a record).

    gen_assumptions.py SRC_DIR OUT_DIR

The file goes to OUT_DIR/<package path>/<module>.assumptions.json and is
installed beside the extension file, where `bridge-replay check` finds it
without importing the bridge. Run by CMake at build time.
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from gen_stubs import calls as macro_calls, modules, string, table  # noqa: E402

FORMAT = 1
IMPORT_SCOPE = "module_exec"
# Roots of call paths that are no module global: the host order of orders_dict,
# the strategy's SDK context and its SDK base.
NOT_GLOBALS = ("order", "context", "super")


class TableError(Exception):
    pass


def read_imports(src, folder, ours):
    """The import rows of a module, in order."""
    out = []
    for kind, a in table(src, folder, "imports.def"):
        if kind == "FROM":
            names = []
            for n in a[1:]:
                if n.startswith("AS("):
                    name, alias = [string(x) for x in n[3:-1].split(",")]
                else:
                    name = alias = string(n)
                names.append({"name": name, "as": alias})
            module = string(a[0])
            row = {"module": module, "names": names}
        elif kind == "IMPORT":
            module = string(a[0])
            row = {"module": module, "as": string(a[1])}
        elif kind == "STAR":
            module = string(a[0])
            row = {"module": module, "star": True}
        else:
            raise TableError("unknown import row %s" % kind)
        if module in ours:
            row["own"] = True
        out.append(row)
    return out


def bindings(imports):
    """alias -> (module, name or None for a whole module); and the star module."""
    bound, star = {}, None
    for row in imports:
        if row.get("star"):
            star = row["module"]
        elif "names" in row:
            for n in row["names"]:
                bound[n["as"]] = (row["module"], n["name"])
        else:
            bound[row["as"]] = (row["module"], None)
    return bound, star


def facts(text):
    return list(macro_calls(text)) if text.strip() else []


def build(src, module, folder, ours, all_imports):
    methods = [(a[0], a[1]) for _, a in table(src, folder, "methods.def")]
    by_impl = {impl: name for name, impl in methods}
    # The record each method is handed: its first parameter after self.
    argument = {a[0]: ([p[1][0] for p in macro_calls(a[3])][1:] or [None])[0]
                for _, a in table(src, folder, "methods.def")}
    kwnames = {a[0]: [string(x) for x in a[1:]] for _, a in table(src, folder, "kwnames.def")}
    calls = {}
    for _, a in table(src, folder, "calls.def"):
        kw = a[3]
        if kw != "NOKW" and kw not in kwnames:
            raise TableError("calls.def: %s names no kwnames row %s" % (a[0], kw))
        calls[a[0]] = {"call": string(a[1]), "positional": int(a[2]),
                       "keywords": [] if kw == "NOKW" else kwnames[kw]}
    bound, star = bindings(all_imports[module])

    globals_, members, runtime, used_calls, records, order_attrs = {}, {}, {}, {}, {}, {}
    seen_methods = set()

    def use(items, key, item, where, mode):
        entry = items.setdefault(key, dict(item, used_by={}))
        # A failure that raises outweighs one that only skips a record.
        if entry["used_by"].get(where) != "raises":
            entry["used_by"][where] = mode

    def global_(name, where, mode):
        if name in bound:
            origin, imported = bound[name]
            item = {"name": name, "module": origin}
            if imported is not None and imported != name:
                item["imported_as"] = imported
            if imported is None:
                item["whole_module"] = True
        elif star is not None:
            item = {"name": name, "module": star, "star": True}
        else:
            raise TableError("uses.def: %s is not bound by the imports" % name)
        use(globals_, name, item, where, mode)
        return item["module"]

    for kind, a in table(src, folder, "uses.def"):
        if kind == "USES":
            scope, text = a
            each = False
        elif kind == "EACH":
            scope, impl, text = a
            if impl not in by_impl:
                raise TableError("uses.def: EACH(%s) names no method %s" % (scope, impl))
            each = True
        else:
            raise TableError("unknown uses row %s" % kind)
        if scope == IMPORT_SCOPE:
            where, mode = "import", "raises"
        elif each:
            where, mode = by_impl[impl], "skips"
        elif scope in by_impl:
            where, mode = by_impl[scope], "raises"
            if scope in seen_methods:
                raise TableError("uses.def: two rows for %s" % scope)
            seen_methods.add(scope)
        else:
            raise TableError("uses.def: %s is no method of methods.def" % scope)
        rows = facts(text)
        imported_here = {args[1]: string(args[0]) for fact, args in rows if fact == "I"}
        for fact, args in rows:
            if fact == "R":
                record = records.setdefault(where, {"argument": argument[where], "each": False, "attrs": {}})
                record["each"] = record["each"] or each
                use(record["attrs"], args[0], {"name": args[0]}, where, mode)
            elif fact in ("O", "W"):
                use(order_attrs, args[0], {"name": args[0], "read": False, "set": False}, where, mode)
                order_attrs[args[0]]["read" if fact == "O" else "set"] = True
            elif fact == "M":
                owner, name = args
                if owner in imported_here:
                    origin = imported_here[owner]
                else:
                    origin = global_(owner, where, mode)
                use(members, (owner, name), {"owner": owner, "name": name, "module": origin}, where, mode)
            elif fact == "E":
                member, kw = args
                if kw not in kwnames:
                    raise TableError("uses.def: E(%s, %s) names no kwnames row" % (member, kw))
                origin = global_("EVENT", where, mode)
                global_("Event", where, mode)
                use(members, ("EVENT", member), {"owner": "EVENT", "name": member, "module": origin}, where, mode)
                use(used_calls, ("Event", member, kw),
                    {"call": "Event", "event": "EVENT." + member, "positional": 1, "keywords": kwnames[kw]},
                    where, mode)
            elif fact == "C":
                if args[0] not in calls:
                    raise TableError("uses.def: C(%s) is no row of calls.def" % args[0])
                call = calls[args[0]]
                root = call["call"].split(".")[0].split("(")[0]
                if root not in NOT_GLOBALS:
                    global_(root, where, mode)
                use(used_calls, args[0], call, where, mode)
            elif fact == "I":
                use(runtime, (string(args[0]), args[1]), {"module": string(args[0]), "name": args[1]}, where, mode)
            else:
                raise TableError("uses.def: unknown fact %s" % fact)
    missing = [impl for _, impl in methods if impl not in seen_methods]
    if missing:
        raise TableError("uses.def has no row for %s" % ", ".join(missing))

    order = {name: i for i, (name, _) in enumerate(methods)}
    order["import"] = -1

    def finish(items):
        out = list(items.values())
        for item in out:
            item["used_by"] = dict(sorted(item["used_by"].items(), key=lambda kv: order[kv[0]]))
        return out

    return {
        "format": FORMAT,
        "bridge": module,
        # Where the host framework and the SDK live: the bridge's own top
        # package, and that of its star import.
        "packages": {"host": module.split(".")[0], "sdk": (star or "").split(".")[0] or None},
        "methods": [name for name, _ in methods],
        "modules": [{"module": m, "imports": all_imports[m]} for m in all_imports],
        "globals": finish(globals_),
        "members": finish(members),
        "runtime_imports": finish(runtime),
        "calls": finish(used_calls),
        "records": {where: {"argument": r["argument"], "each": r["each"], "attributes": finish(r["attrs"])}
                    for where, r in sorted(records.items(), key=lambda kv: order[kv[0]])},
        "order_attributes": finish(order_attrs),
    }


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: gen_assumptions.py SRC_DIR OUT_DIR")
    src, out = argv[1], argv[2]
    mods = modules(src)
    ours = {m for m, _, _ in mods}
    all_imports = {m: read_imports(src, folder, ours) for m, folder, _ in mods}
    try:
        for module, folder, package in mods:
            if not os.path.exists(os.path.join(src, folder, "uses.def")):
                continue
            data = build(src, module, folder, ours, all_imports)
            path = os.path.join(out, package, folder + ".assumptions.json")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                json.dump(data, f, indent=1)
                f.write("\n")
    except TableError as exc:
        sys.exit("gen_assumptions.py: %s" % exc)


if __name__ == "__main__":
    main(sys.argv)
