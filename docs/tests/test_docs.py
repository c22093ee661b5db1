"""Every block a reader can copy from the README and docs/ runs as written,
every link between the pages leads somewhere (docblocks.py says how), and the
tables of options and exit statuses say what the commands' help says."""
import re
import time

import pytest

from docblocks import (NOT_RUN, OUTPUT, RUN, DocError, blocks, broken_links, check_json,
                       linked_pages, make_folder, output_matches, pages, read, run)


@pytest.mark.parametrize("page", pages())
def test_the_blocks_of_a_page_run_as_written(page, tmp_path):
    found = blocks(read(page), page)
    make_folder(str(tmp_path))
    printed = None
    for block in found:
        where = "%s:%d" % (page, block.line)
        if block.lang == "json":
            check_json(block, page)
        elif block.marker == OUTPUT:
            assert output_matches(block.code, printed), \
                "%s: the block above printed\n%s" % (where, printed)
        elif block.lang in RUN and block.marker != NOT_RUN:
            began = time.monotonic()
            status, printed = run(block, str(tmp_path))
            assert status == 0, "%s: exit status %s after %.1f s\n%s\n%s" % (
                where, status, time.monotonic() - began, block.code, printed)


@pytest.mark.parametrize("page", pages())
def test_links_lead_to_a_page_and_heading(page):
    assert broken_links(page) == []


def test_every_page_is_reachable_from_the_readme():
    seen, todo = set(), ["README.md"]
    while todo:
        page = todo.pop()
        if page not in seen:
            seen.add(page)
            todo.extend(linked_pages(page))
    assert set(pages()) - seen == set()


def _table(text, header):
    """The first cells of the table under ``header``."""
    rows = text.split(header + "\n", 1)[1].split("\n\n", 1)[0].splitlines()[1:]
    return [row.split("|")[1] for row in rows]


@pytest.mark.parametrize("page, command", [("docs/replay.md", "replay"),
                                           ("docs/batch.md", "batch")])
def test_an_options_table_lists_every_option_of_its_command(page, command):
    from bridge_replay.cli import main
    have = {o for p in main.commands[command].params for o in p.opts if o.startswith("--")}
    listed = {o for cell in _table(read(page), "| option | effect |")
              for o in re.findall(r"--[a-z-]+", cell)}
    assert listed == have - {"--help"}


@pytest.mark.parametrize("page, command", [("docs/replay.md", "replay"),
                                           ("docs/batch.md", "batch"),
                                           ("docs/export.md", "export"),
                                           ("docs/check.md", "check")])
def test_an_exit_status_table_has_the_statuses_of_its_command(page, command):
    from bridge_replay.cli import main
    have = set(re.findall(r"^  (\d+) ", main.commands[command].epilog, re.M))
    listed = {n for cell in _table(read(page), "| status | meaning |")
              for n in re.findall(r"\d+", cell)}
    assert listed == have


def _make_test_commands(text):
    """Each `make test` command of a text as {variable: value}: CI's warnings-as-errors
    define and which interpreter PYTHON names are left aside."""
    out = []
    for m in re.finditer(r"^\s*`?make test((?: +[A-Z_]+=[^\s`]+)*)", text, re.M):
        given = dict(v.split("=", 1) for v in m.group(1).split())
        given.pop("CMAKE_DEFINES", None)
        if "PYTHON" in given:
            given["PYTHON"] = "another"
        out.append(given)
    return out


def test_the_readme_s_test_commands_are_those_ci_runs():
    readme = _make_test_commands(read("README.md"))
    ci = _make_test_commands(read(".ci/run"))
    assert readme and all(c in ci for c in readme), (readme, ci)


@pytest.mark.parametrize("text, wrong", [
    ("```\nls\n```\n", "needs a language"),
    ("```bash\nls\n```\n", "needs a language"),
    ("<!-- not run -->\n```sh\nls\n```\n", "say why"),
    ("<!-- not run:  -->\n```sh\nls\n```\n", "say why"),
    ("<!-- not run: a cluster -->\n```text\nls\n```\n", "only a sh or python"),
    ("<!-- not run: a cluster -->\nSome words.\n```sh\nls\n```\n", "right before"),
    ("```text\nx\n```\n<!-- output of the block above -->\n```text\nx\n```\n", "after a block"),
    ("```sh\nls\n", "never closed"),
])
def test_a_page_is_refused_where_a_block_could_escape(text, wrong):
    with pytest.raises(DocError, match=wrong):
        blocks(text)


def test_markers_and_indented_blocks():
    text = ("<!-- not run: needs a cluster -->\n\n```sh\nmake fuzz\n```\n"
            "- a list item:\n\n  ```python\n  print(1)\n  ```\n"
            "<!-- output of the block above -->\n```text\n1\n```\n")
    a, b, c = blocks(text)
    assert (a.marker, a.reason, a.code) == (NOT_RUN, "needs a cluster", "make fuzz\n")
    assert (b.lang, b.code, b.marker) == ("python", "print(1)\n", None)
    assert (c.marker, c.line) == (OUTPUT, 12)


@pytest.mark.parametrize("expected, actual, ok", [
    ("a\nb\n", "a\nb  \n\n", True),
    ("a\nb\n", "a\nc\n", False),
    ("...\nOK\n", "x\ny\nOK\n", True),
    ("...\nOK\n", "OK\n", True),
    ("OK\n", "x\nOK\n", False),
    ("took ... s\nOK\n", "took 2.5 s\nOK\n", True),
    ("took ... s\n", "took 2.5\ns\n", False),
    ("a\n...\nz\n", "a\nz\n", True),
])
def test_output_with_elisions(expected, actual, ok):
    assert output_matches(expected, actual) is ok


def test_broken_links_are_named():
    text = ("# Top\n## A heading: `with code`\n[fine](#a-heading-with-code) "
            "[web](https://example.com/x) `[not a link](nowhere.md)`\n"
            "[gone](#nowhere) [missing](docs/nothing.md) [bad anchor](docs/export.md#nowhere)\n"
            "```text\n[in a block](nowhere.md)\n```\n")
    assert broken_links("README.md", text) == [
        "README.md:4: #nowhere: no such heading",
        "README.md:4: docs/nothing.md: no such file",
        "README.md:4: docs/export.md#nowhere: no such heading",
    ]


def test_a_json_block_must_parse():
    good, bad = blocks('```json\n{"a": 1,\n "b": 2}\n```\n```json\n{"a": 1}\n{"b": \n```\n')
    check_json(good)
    with pytest.raises(DocError, match="page:7: not JSON"):
        check_json(bad)
