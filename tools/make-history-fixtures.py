#!/usr/bin/env python3
"""Make small history databases written by real browsers, for WebGleaner's tests.

Serves the sample site of make-cache-fixtures.py on 127.0.0.1, has Debian's
headless chromium and firefox-esr (each with a throw-away home and profile)
bookmark one page and visit a few, and copies the stores of visited
addresses they wrote into an output folder:

    OUT/chromium/Default/History   Bookmarks        + listing.txt
    OUT/firefox/profile/places.sqlite               + listing.txt

Each database is copied with SQLite's VACUUM INTO, which keeps every row
and the schema but drops the free pages the browsers preallocate, and is
then given 4 KiB pages, so the copies stay small; a write-ahead log still
open is folded in on the way, and the copy keeps the journal mode (WAL for
Firefox) of the original.
listing.txt says what the copy holds: its addresses with their visit
counts, its visits, and which addresses are bookmarked.

Needs python3 (standard library only), chromium and firefox-esr.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import shutil
import sqlite3
import sys
import tempfile
import time
from pathlib import Path

_FIXTURES_PATH = Path(__file__).with_name("make-cache-fixtures.py")
_spec = importlib.util.spec_from_file_location("make_cache_fixtures", _FIXTURES_PATH)
fixtures = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = fixtures  # dataclasses look their module up while the file loads
_spec.loader.exec_module(fixtures)

DEFAULT_PORT = 18435
VISITED = ["/index.html", "/gbk.html", "/upper.html", "/sub/dir/page.html", "/text/readme.txt"]
# Bookmarked before it is visited, so the bookmark and the visits meet on one address.
BOOKMARKED = "/gbk.html"
BOOKMARK_TITLE = "书签：GBK 页面"
# Bookmarked and never visited: an address that only a bookmark keeps.
BOOKMARKED_ONLY = "/never-visited.html"


def chromium_bookmarks(urls: list[tuple[str, str]]) -> dict:
    """A Bookmarks file as Chromium reads it at start; it writes it back in its own form at the end."""
    children = [{"id": str(i + 4), "type": "url", "name": name, "url": url, "date_added": "13300000000000000"}
                for i, (url, name) in enumerate(urls)]

    def folder(node_id: str, name: str, items: list) -> dict:
        return {"id": node_id, "type": "folder", "name": name, "children": items,
                "date_added": "13300000000000000", "date_modified": "0"}

    return {"version": 1, "roots": {"bookmark_bar": folder("1", "Bookmarks bar", children),
                                    "other": folder("2", "Other bookmarks", []),
                                    "synced": folder("3", "Mobile bookmarks", [])}}


def copy_database(source: Path, destination: Path) -> None:
    destination.parent.mkdir(parents=True, exist_ok=True)
    if destination.exists():
        destination.unlink()
    with sqlite3.connect(source) as db:
        journal_mode = db.execute("PRAGMA journal_mode").fetchone()[0]
        db.execute("VACUUM INTO ?", (str(destination),))
    db.close()
    # Firefox's 32 KiB pages make even an empty table cost 32 KiB; the copy gets SQLite's default size,
    # then the browser's journal mode back.
    copy = sqlite3.connect(destination, isolation_level=None)
    copy.execute("PRAGMA page_size = 4096")
    copy.execute("VACUUM")
    copy.execute(f"PRAGMA journal_mode = {journal_mode}")
    copy.close()


def listing(database: Path, queries: list[tuple[str, str]]) -> str:
    out = []
    with sqlite3.connect(database) as db:
        for title, query in queries:
            cursor = db.execute(query)
            out.append(f"# {title}")
            out.append("\t".join(column[0] for column in cursor.description))
            out.extend("\t".join("" if value is None else str(value) for value in row) for row in cursor)
    db.close()
    return "\n".join(out) + "\n"


def run_chromium(base: str, destination: Path) -> str:
    with tempfile.TemporaryDirectory(prefix="webgleaner-browser-home-") as home_name:
        home = Path(home_name)
        profile = home / ".config" / "chromium" / "Default"
        profile.mkdir(parents=True)
        (profile / "Bookmarks").write_text(json.dumps(chromium_bookmarks(
            [(base + BOOKMARKED, BOOKMARK_TITLE), (base + BOOKMARKED_ONLY, "没有访问过的书签")]),
            ensure_ascii=False), encoding="utf-8")
        browser = fixtures.ChromiumSession(home, [])
        try:
            for path in VISITED:
                browser.visit(base + path)
            time.sleep(1)
            browser.visit(base + "/gbk.html")  # a second visit of the bookmarked page
        finally:
            browser.close()
        copy_database(profile / "History", destination / "Default" / "History")
        shutil.copy(profile / "Bookmarks", destination / "Default" / "Bookmarks")
    (destination / "listing.txt").write_text(listing(destination / "Default" / "History", [
        ("urls", "SELECT id, url, title, visit_count, typed_count, last_visit_time FROM urls ORDER BY id"),
        ("visits", "SELECT id, url, visit_time, transition FROM visits ORDER BY id"),
    ]), encoding="utf-8")
    return f"chromium: {destination / 'Default' / 'History'}"


def run_firefox(base: str, destination: Path) -> str:
    with tempfile.TemporaryDirectory(prefix="webgleaner-browser-home-") as home_name:
        # Bookmarks are made through the browser's own places API, which needs system access.
        browser = fixtures.FirefoxSession(Path(home_name), ["-remote-allow-system-access"])
        try:
            browser.marionette.call("Marionette:SetContext", {"value": "chrome"})
            for url, title in ((base + BOOKMARKED, BOOKMARK_TITLE), (base + BOOKMARKED_ONLY, "没有访问过的书签")):
                browser.marionette.call("WebDriver:ExecuteScript", {"script": """
                    const { PlacesUtils } = ChromeUtils.importESModule("resource://gre/modules/PlacesUtils.sys.mjs");
                    return PlacesUtils.bookmarks.insert({ parentGuid: PlacesUtils.bookmarks.unfiledGuid,
                                                          url: arguments[0], title: arguments[1] })
                        .then(bookmark => bookmark.guid);""", "args": [url, title]})
            browser.marionette.call("Marionette:SetContext", {"value": "content"})
            for path in VISITED:
                browser.visit(base + path)
            browser.visit(base + "/gbk.html")
        finally:
            browser.close()
        copy_database(browser.profile / "places.sqlite", destination / "profile" / "places.sqlite")
    (destination / "listing.txt").write_text(listing(destination / "profile" / "places.sqlite", [
        ("moz_places", "SELECT id, url, title, visit_count, foreign_count, last_visit_date FROM moz_places ORDER BY id"),
        ("moz_historyvisits", "SELECT id, place_id, visit_date, visit_type FROM moz_historyvisits ORDER BY id"),
        ("moz_bookmarks (addresses)", "SELECT b.id, b.title, p.url FROM moz_bookmarks b JOIN moz_places p "
                                      "ON p.id = b.fk WHERE b.type = 1 ORDER BY b.id"),
    ]), encoding="utf-8")
    return f"firefox:  {destination / 'profile' / 'places.sqlite'}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="folder for the databases (its chromium/ and firefox/ are replaced)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"port of the site (default {DEFAULT_PORT})")
    parser.add_argument("--browsers", default="chromium,firefox", help="comma-separated: chromium, firefox")
    args = parser.parse_args()
    runs = {"chromium": run_chromium, "firefox": run_firefox}
    chosen = [name.strip() for name in args.browsers.split(",") if name.strip()]
    if unknown := [name for name in chosen if name not in runs]:
        parser.error(f"unknown browser: {', '.join(unknown)}")
    absent = [tool for tool in ("chromium", "firefox-esr") if shutil.which(tool) is None]
    if absent:
        sys.exit(f"not installed: {', '.join(absent)} (apt-get install {' '.join(absent)})")

    out = Path(args.out)
    servers = fixtures.LoopbackServers(args.port, fixtures.build_site(args.port), fixtures.ServerLog())
    summaries = []
    try:
        for name in chosen:
            print(f"{name}: visiting the site ...", flush=True)
            destination = out / name
            if destination.exists():
                shutil.rmtree(destination)
            destination.mkdir(parents=True)
            summaries.append(runs[name](f"http://127.0.0.1:{args.port}", destination))
    finally:
        servers.close()
    print("\n".join(summaries))


if __name__ == "__main__":
    main()
