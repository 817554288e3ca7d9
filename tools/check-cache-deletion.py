#!/usr/bin/env python3
"""Check that entries deleted the way the clean-up command deletes them leave
Chromium's cache, or GNOME Web's, working.

Serves the fixture site of make-cache-fixtures.py (for epiphany, that of
make-webkit-fixture.py) on the loopback interface and visits it with
Debian's headless chromium (simple backend) or epiphany-browser in a
throw-away home and profile; quits; deletes some entries with
remove_entries_probe, a program of WebGleaner's test build that walks every
entry and deletes by reference as the clean-up command does; starts the
browser again on the same profile and makes the same visits. Passes when
each deleted resource reaches the server again and no resource whose entry
was kept does: the browser still serves those from its cache, although its
index (chromium) or its filter of the records it holds (epiphany) still
listed the deleted entries when it started.

    tools/check-cache-deletion.py PROBE [--port 18436] [--browser chromium|epiphany]

PROBE is the built remove_entries_probe (build/tests/remove_entries_probe).
Needs python3 (standard library only) and chromium, or epiphany-browser,
xvfb and dbus.
"""

from __future__ import annotations

import argparse
import importlib.util
import shutil
import subprocess
import sys
import tempfile
import urllib.parse
from pathlib import Path

_FIXTURES_PATH = Path(__file__).with_name("make-cache-fixtures.py")
_spec = importlib.util.spec_from_file_location("make_cache_fixtures", _FIXTURES_PATH)
fixtures = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = fixtures  # dataclasses look their module up while the file loads
_spec.loader.exec_module(fixtures)
_spec = importlib.util.spec_from_file_location("make_webkit_fixture", Path(__file__).with_name("make-webkit-fixture.py"))
webkit = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = webkit
_spec.loader.exec_module(webkit)

DEFAULT_PORT = 18436
# Pages visited in both sessions: the first page with its resources, a 301 to
# it, and the page in sub/dir/ with its own.
VISITS = ["/index.html", "/old.html", "/sub/dir/page.html"]
# Entries deleted between the sessions: a stylesheet and a picture the first
# page loads, the 301, and a script the sub page loads.
DELETED = ["/css/style.css", "/img/logo.gif", "/old.html", "/sub/dir/local.js"]
# For epiphany: one page, which holds the other in a frame; deleted are a sheet
# and a picture whose bodies are in blobs and a picture kept in its record.
EPIPHANY_VISITS = ["/index.html"]
EPIPHANY_DELETED = ["/css/style.css", "/img/photo.jpg", "/img/icon.png"]


def requested_paths(log_lines: list[str]) -> list[str]:
    """The paths of the GET requests in server log lines (time, method, host, path, status, ...)."""
    return [fields[3] for fields in (line.split("\t") for line in log_lines) if fields[1] == "GET"]


def visit_all(home: Path, port: int, log: fixtures.ServerLog) -> list[str]:
    """Chromium's visits; the paths the server was asked for."""
    browser = fixtures.ChromiumSession(home, [])
    try:
        for path in VISITS:
            browser.visit(f"http://127.0.0.1:{port}{path}")
    finally:
        browser.close()
    return requested_paths(log.take())


def visit_all_with_epiphany(home: Path, port: int, log: fixtures.ServerLog) -> list[str]:
    """epiphany's visits, each ended once the browser has written its cache; the paths the server was asked for."""
    lines: list[str] = []
    for path in EPIPHANY_VISITS:
        lines += webkit.visit(f"http://127.0.0.1:{port}{path}", home, log)
    return requested_paths(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("probe", help="the built remove_entries_probe")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"port of the site (default {DEFAULT_PORT})")
    parser.add_argument("--browser", choices=["chromium", "epiphany"], default="chromium",
                        help="whose cache to check (default chromium)")
    args = parser.parse_args()
    epiphany = args.browser == "epiphany"
    if shutil.which(args.browser) is None:
        sys.exit(f"not installed: {args.browser} (apt-get install {'epiphany-browser' if epiphany else 'chromium'})")

    log = fixtures.ServerLog()
    site = webkit.build_site() if epiphany else fixtures.build_site(args.port)
    deleted = EPIPHANY_DELETED if epiphany else DELETED
    visit = visit_all_with_epiphany if epiphany else visit_all
    servers = fixtures.LoopbackServers(args.port, site, log)
    try:
        with tempfile.TemporaryDirectory(prefix="webgleaner-browser-home-") as home_name:
            home = Path(home_name)
            first = visit(home, args.port, log)
            cache = webkit.cache_folder(home) if epiphany else home / ".cache/chromium/Default/Cache/Cache_Data"
            urls = [f"http://127.0.0.1:{args.port}{path}" for path in deleted]
            probe = subprocess.run([args.probe, str(cache), *urls], capture_output=True, text=True)
            print("deleted with the probe:")
            print(probe.stdout + probe.stderr, end="")
            if probe.returncode != 0:
                print(f"the probe failed (exit code {probe.returncode})")
                return 1
            second = visit(home, args.port, log)
    finally:
        servers.close()

    def served_from_cache(path: str) -> bool:
        """Whether the browser may use the resource again without asking: fresh
        for a day, and not fetched by ranges (a media element asks anew)."""
        resource = site.get(urllib.parse.unquote(path.partition("?")[0]))
        return resource is not None and resource.cache_control == fixtures.LONG_CACHE and not resource.ranges

    kept = sorted({p for p in first if p.partition("?")[0] not in deleted and served_from_cache(p)})
    not_refetched = [p for p in deleted if p in first and p not in second]
    asked_again = [p for p in kept if p in second]
    print(f"first session:  {len(first)} requests, {len(set(first))} paths")
    print(f"second session: {len(second)} requests: {', '.join(sorted(set(second))) or '-'}")
    for path in deleted:
        state = "fetched again" if path in second else ("not fetched again" if path in first else "never fetched")
        print(f"  deleted {path}: {state}")
    print(f"  kept and served from the cache: {len(kept) - len(asked_again)} of {len(kept)}")
    for path in asked_again:
        print(f"  kept but fetched again: {path}")
    passed = not not_refetched and not asked_again
    print("PASS" if passed else "FAIL")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
