"""The fenced blocks and the links of the Markdown pages, as the doc tests see them.

A ```sh block runs in bash (-e, pipefail) and a ```python block in a fresh
interpreter, one after the other, each page in a folder of its own that looks
like the repository's top folder: its entries linked in, and .venv the
environment under test. ```text and ```json blocks are shown, not run; a json
block must parse. A fence needs one of these languages, so that no shell block
escapes by being left unlabelled.

Two HTML comments, on the line before a block, change that:
  <!-- not run: REASON -->            a sh or python block that cannot run in a
                                       test; the reason is required
  <!-- output of the block above -->  a text block that must match what the block
                                       before it printed (standard output and
                                       error as a terminal shows them); a line
                                       "..." stands for any lines, "..." within a
                                       line for any text
"""

import json
import os
import re
import signal
import subprocess
import sys
from collections import namedtuple

REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RUN = ("sh", "python")
SHOWN = ("text", "json")
NOT_RUN = "not run"
OUTPUT = "output of the block above"
# Left out of a page's folder: build products, other environments, the checkout's own files.
_NOT_LINKED = re.compile(r"^(\.venv.*|build|dist|\.git|\.pytest_cache|.*\.egg-info)$")

Block = namedtuple("Block", "lang code line marker reason")


class DocError(Exception):
    """What is wrong with a page, with its file and line."""


def pages():
    """The READMEs and every page under docs/."""
    docs = os.path.join(REPO, "docs")
    return (["README.md", "stand_in/README.md"]
            + sorted("docs/" + n for n in os.listdir(docs) if n.endswith(".md")))


_FENCE = re.compile(r"^(\s*)```(.*)$")
_MARKER = re.compile(r"^\s*<!--\s*(%s|%s)\b(.*?)-->\s*$" % (NOT_RUN, re.escape(OUTPUT)))


def blocks(text, name="page"):
    """The fenced blocks of a Markdown text, each with the marker before it."""
    out = []
    lines = text.splitlines()
    marker = None
    i = 0
    while i < len(lines):
        line = lines[i]
        m = _MARKER.match(line)
        if m:
            marker = (m.group(1), m.group(2).strip(), i + 1)
            i += 1
            continue
        fence = _FENCE.match(line)
        if fence is None:
            if line.strip() and marker is not None:
                raise DocError("%s:%d: the comment must stand right before its block"
                               % (name, marker[2]))
            i += 1
            continue
        indent, lang = fence.group(1), fence.group(2).strip()
        start = i + 1
        body = []
        i += 1
        while i < len(lines) and not (lines[i].strip() == "```"
                                      and lines[i].startswith(indent)):
            body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i])
            i += 1
        if i == len(lines):
            raise DocError("%s:%d: the block is never closed" % (name, start))
        i += 1
        if lang not in RUN + SHOWN:
            raise DocError("%s:%d: a block needs a language among %s, not %r"
                           % (name, start, ", ".join(RUN + SHOWN), lang))
        kind, reason = (marker or (None, ""))[:2]
        if kind == NOT_RUN:
            reason = reason.lstrip(":").strip()
            if lang not in RUN:
                raise DocError("%s:%d: only a sh or python block can be left out" % (name, start))
            if not reason:
                raise DocError("%s:%d: say why the block is not run: <!-- not run: REASON -->"
                               % (name, start))
        if kind == OUTPUT and (lang != "text" or not out or out[-1].lang not in RUN
                               or out[-1].marker == NOT_RUN):
            raise DocError("%s:%d: an output is a text block after a block that runs"
                           % (name, start))
        out.append(Block(lang, "\n".join(body) + "\n", start, kind, reason))
        marker = None
    return out


def check_json(block, name="page"):
    """A json block is one document, or one document a line."""
    try:
        json.loads(block.code)
        return
    except ValueError:
        pass
    for n, line in enumerate(block.code.splitlines()):
        if line.strip():
            try:
                json.loads(line)
            except ValueError as exc:
                raise DocError("%s:%d: not JSON: %s" % (name, block.line + 1 + n, exc))


def output_matches(expected, actual):
    """Whether ``actual`` is what ``expected`` shows, with its "..." elisions."""
    parts = []
    for line in expected.rstrip("\n").splitlines():
        line = line.rstrip()
        if line.strip() == "...":
            parts.append(r"(?:[^\n]*\n)*?")
        else:
            parts.append(".*?".join(re.escape(p) for p in line.split("...")) + r"\n")
    actual = "".join(l.rstrip() + "\n" for l in actual.rstrip("\n").splitlines())
    return re.fullmatch("".join(parts), actual) is not None


def make_folder(path, venv=sys.prefix):
    """A folder that looks like the repository's top folder to the blocks."""
    for entry in os.listdir(REPO):
        if not _NOT_LINKED.match(entry):
            os.symlink(os.path.join(REPO, entry), os.path.join(path, entry))
    os.symlink(venv, os.path.join(path, ".venv"))


def run(block, cwd, timeout=300):
    """Run a block in ``cwd``; returns (exit status, what it printed)."""
    tmp = os.path.join(cwd, ".tmp")  # mktemp and tempfile stay inside the page's folder
    os.makedirs(tmp, exist_ok=True)
    env = dict(os.environ, PYTHONUNBUFFERED="1", TMPDIR=tmp,
               PATH=os.path.join(cwd, ".venv", "bin") + os.pathsep + os.environ.get("PATH", ""))
    env.pop("BRIDGE_REPLAY_DEBUG", None)
    if block.lang == "sh":
        argv = ["bash", "-e", "-o", "pipefail", "-c", block.code]
    else:
        argv = [sys.executable, "-c", block.code]
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        out = (b"(timed out after %d s; a process left in the background keeps the block's "
               b"output open unless its own is redirected)\n" % timeout)
    finally:
        # What a block left running in the background (a server, a cluster) ends with it.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except OSError:
            pass
        proc.wait()
    return proc.returncode, out.decode("utf-8", "replace")


_LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
_CODE_SPAN = re.compile(r"`[^`]*`")


def links(text):
    """(line, target) of the links outside code."""
    out = []
    in_block = False
    for n, line in enumerate(text.splitlines(), 1):
        if _FENCE.match(line):
            in_block = not in_block
            continue
        if not in_block:
            out.extend((n, t) for t in _LINK.findall(_CODE_SPAN.sub("", line)))
    return out


def anchors(text):
    """The anchors of a page's headings, as the Git hosts make them."""
    seen = {}
    out = set()
    in_block = False
    for line in text.splitlines():
        if _FENCE.match(line):
            in_block = not in_block
            continue
        m = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if in_block or not m:
            continue
        slug = re.sub(r"[^\w\- ]", "", m.group(1).lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        out.add(slug if n == 0 else "%s-%d" % (slug, n))
    return out


def read(page):
    with open(os.path.join(REPO, page), encoding="utf-8") as f:
        return f.read()


def broken_links(page, text=None):
    """The links of a page whose file or heading does not exist."""
    text = read(page) if text is None else text
    bad = []
    for line, target in links(text):
        if re.match(r"^[a-z]+:", target):
            continue  # a web address: not followed here
        path, _, anchor = target.partition("#")
        where = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        full = os.path.join(REPO, where)
        if not os.path.exists(full):
            bad.append("%s:%d: %s: no such file" % (page, line, target))
        elif anchor and (not where.endswith(".md")
                         or anchor not in anchors(text if where == page else read(where))):
            bad.append("%s:%d: %s: no such heading" % (page, line, target))
    return bad


def linked_pages(page):
    """The pages under docs/ a page links to."""
    out = set()
    for _, target in links(read(page)):
        path = target.partition("#")[0]
        if path.endswith(".md") and not re.match(r"^[a-z]+:", path):
            out.add(os.path.normpath(os.path.join(os.path.dirname(page), path)))
    return out
