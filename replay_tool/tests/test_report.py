"""The HTML report: self-contained, and it renders in a headless browser."""
import os
import pathlib
import re
import shutil
import subprocess

import pytest

from replay_support import run_tool, small_day  # noqa: F401

BUILD = pathlib.Path(__file__).resolve().parents[2] / "build"


def _chromium():
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if exe is None:
        if os.environ.get("CI"):
            pytest.fail("chromium is not installed (CI installs it)")
        pytest.skip("chromium is not installed")
    return exe


def _browse(exe, url, *args):
    return subprocess.run(
        [exe, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--enable-logging=stderr", "--v=0", "--virtual-time-budget=10000",
         "--window-size=1280,2000", *args, url],
        capture_output=True, timeout=120, text=True, errors="replace")


@pytest.fixture(scope="module")
def report(small_day, tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "day.html"
    r = run_tool("replay", small_day, "--report", path)
    assert r.returncode == 0, r.stderr.decode()
    return path


def test_report_is_self_contained(report):
    text = report.read_text(encoding="utf-8")
    # Every script is inline: nothing is fetched when the page opens.
    assert not re.search(r"<script[^>]*\bsrc=", text)
    assert not re.search(r"<link[^>]*\bhref=", text)
    for title in ("Events per minute by type", "Event queue: depth and drops",
                  "Callback start to host drain", "Host orders by final status"):
        assert title in text


def test_report_renders_in_chromium(report):
    exe = _chromium()
    url = report.as_uri()
    r = _browse(exe, url, "--dump-dom")
    assert r.returncode == 0, r.stderr[-2000:]
    console = [line for line in r.stderr.splitlines()
               if "CONSOLE" in line.upper() and re.search(r"error|uncaught", line, re.I)]
    assert console == []
    assert re.search(r'<div id="js-errors"[^>]*></div>', r.stdout), "script errors on the page"
    # Plotly draws each chart as an SVG of class main-svg.
    assert r.stdout.count('class="main-svg"') >= 4
    BUILD.mkdir(exist_ok=True)
    shot = BUILD / "report-screenshot.png"
    r = _browse(exe, url, "--screenshot=%s" % shot)
    assert r.returncode == 0 and shot.stat().st_size > 10000
