#!/usr/bin/env python3
"""Make a small GNOME Web (WebKitGTK) network cache, for WebGleaner's tests.

Serves a small site of its own on 127.0.0.1 (pages with Chinese titles, a
gzip-encoded style sheet and script, small pictures whose bodies the cache
keeps inside their records, large pictures it keeps in a "-blob" file beside
the record, a no-store page, a 404) and has Debian's epiphany-browser visit
it headless (xvfb-run, a private D-Bus session, a throw-away HOME), so that
the cache lands where a user's would: $HOME/.cache/epiphany/WebKitCache.
The cache is copied to an output folder:

    OUT/WebKitCache     the cache as the browser wrote it
    OUT/listing.txt     what it holds, read back from its records
    OUT/server.log      what the server sent
    OUT/bodies/         the bodies the server sent, by path, as sent

Needs python3 (standard library only), epiphany-browser, xvfb and dbus
(dbus-run-session); uses the site plumbing of make-cache-fixtures.py.
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import importlib.util
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

_FIXTURES_PATH = Path(__file__).with_name("make-cache-fixtures.py")
_spec = importlib.util.spec_from_file_location("make_cache_fixtures", _FIXTURES_PATH)
fixtures = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = fixtures  # dataclasses look their module up while the file loads
_spec.loader.exec_module(fixtures)

DEFAULT_PORT = 18439
# How long the server must have been quiet before the visit counts as done,
# and how long the browser then gets to write its cache: it writes records a
# moment after a load, on a timer.
QUIET_SECONDS = 3.0
WRITE_SECONDS = 6.0
VISIT_TIMEOUT = 60.0


def _page_index() -> str:
    return """<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<title>网页缓存测试 - 首页</title>
<link rel="stylesheet" href="css/style.css">
<script src="js/app.js"></script>
</head>
<body>
<h1>首页</h1>
<p><img src="img/logo.gif" alt="logo"> <img src="img/icon.png" alt="icon"></p>
<p><img src="img/photo.jpg" alt="photo"></p>
<iframe src="sub/page.html" width="400" height="300"></iframe>
<iframe src="nostore.html" width="200" height="100"></iframe>
<script>fetch("data/info.json").then(r => r.text()).then(t => { document.title += ""; });</script>
</body>
</html>
"""


def _page_sub() -> str:
    return """<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<title>子页面 - 图片</title>
</head>
<body>
<p><img src="../img/图标.png" alt="图标"></p>
<p><img src="../big/photo-big.jpg" alt="big"></p>
<p><img src="missing.png" alt="missing"></p>
</body>
</html>
"""


def build_site() -> dict[str, fixtures.Resource]:
    def utf8(text: str) -> bytes:
        return text.encode("utf-8")

    html = "text/html; charset=utf-8"
    icon = fixtures.png_image(24, 24, lambda x, y: (10 * x, 10 * y, 128))
    logo_palette = [(255 - 16 * i, 8 * i, 16 * i) for i in range(16)]
    style = "body { font-family: sans-serif; color: #223; }\n" + "".join(
        f".c{i} {{ margin: {i}px; padding: {i % 7}px; }}\n" for i in range(120))
    script = "// served gzip-encoded\n" + "".join(f"window.v{i} = {i * i};\n" for i in range(80))
    return {
        "/index.html": fixtures.Resource(utf8(_page_index()), html),
        "/sub/page.html": fixtures.Resource(utf8(_page_sub()), html),
        "/nostore.html": fixtures.Resource(utf8("<html><head><title>不存</title></head><body>no-store</body></html>"),
                                           html, cache_control="no-store"),
        "/css/style.css": fixtures.Resource(utf8(style), "text/css", "gzip"),
        "/js/app.js": fixtures.Resource(utf8(script), "application/javascript", "gzip"),
        "/data/info.json": fixtures.Resource(utf8('{"name": "样例", "items": [1, 2, 3]}\n'), "application/json"),
        "/img/logo.gif": fixtures.Resource(
            fixtures.gif_image(64, 32, logo_palette, lambda x, y: (x // 4 + y // 8) % 16), "image/gif"),
        "/img/icon.png": fixtures.Resource(icon, "image/png"),
        "/img/图标.png": fixtures.Resource(fixtures.png_image(16, 16, lambda x, y: (0, 16 * x, 16 * y)), "image/png"),
        "/img/photo.jpg": fixtures.Resource(fixtures.jpeg_image(320, 240, seed=1, detail=0.17), "image/jpeg"),
        "/big/photo-big.jpg": fixtures.Resource(fixtures.jpeg_image(400, 300, seed=2, detail=0.5), "image/jpeg"),
    }


# --------------------------------------------------------------------------
# Reading the cache back, for listing.txt
# --------------------------------------------------------------------------


class Reader:
    """Reads the browser's persistent encoding: little-endian numbers,
    strings as a 32-bit length (all ones for a null string), a flag for 8-bit
    characters, then the characters."""

    def __init__(self, data: bytes, offset: int = 0) -> None:
        self.data, self.offset = data, offset

    def take(self, size: int) -> bytes:
        if self.offset + size > len(self.data):
            raise ValueError("past the end")
        part = self.data[self.offset:self.offset + size]
        self.offset += size
        return part

    def number(self, form: str) -> int | float:
        return struct.unpack("<" + form, self.take(struct.calcsize(form)))[0]

    def string(self) -> str | None:
        length = self.number("I")
        if length == 0xFFFFFFFF:
            return None
        if self.number("B"):
            return self.take(length).decode("latin-1")
        return self.take(2 * length).decode("utf-16-le")


def read_record(path: Path, salt: bytes) -> dict:
    data = path.read_bytes()
    r = Reader(data)
    record = {"version": r.number("I"), "partition": r.string(), "type": r.string(), "identifier": r.string(),
              "range": r.string()}
    r.take(40)  # key hash, partition hash
    record["time"] = r.number("d")
    header_hash, header_size = r.take(20), r.number("Q")
    body_hash, body_size, inline = r.take(20), r.number("Q"), r.number("B")
    r.take(20)  # the metadata's checksum
    header = r.take(header_size)
    notes = []
    if hashlib.sha1(salt + header).digest() != header_hash:
        notes.append("header hash differs")
    if inline:
        body = data[r.offset:]
    else:
        blob = path.with_name(path.name + "-blob")
        body = blob.read_bytes() if blob.exists() else b""
        notes.append("blob")
    if len(body) != body_size or hashlib.sha1(salt + body).digest() != body_hash:
        notes.append("body differs from its hash")
    h = Reader(header)
    h.number("B")
    url, mime = h.string(), h.string()
    h.number("q")
    h.string()  # text encoding name
    h.string()  # status text
    h.string()  # HTTP version
    headers = {}
    for _ in range(h.number("Q")):
        name, value = h.string(), h.string()
        headers.setdefault((name or "").lower(), value or "")
    status = h.number("H")
    if "content-encoding" in headers:
        notes.append("stored decoded")  # the network library undoes the coding before the cache sees the body
    record.update(url=url, mime=mime, status=status, headers=headers, body=body, notes=notes)
    return record


def read_cache(cache: Path) -> list[dict]:
    records = []
    for version in sorted(cache.glob("Version *")):
        salt = (version / "salt").read_bytes()
        for path in sorted((version / "Records").glob("*/*/*")):
            if path.name.endswith("-blob"):
                continue
            # Other record types (SubResources: what a page loaded, for preloading) hold no response.
            if path.parent.name != "Resource":
                continue
            record = read_record(path, salt)
            record["file"] = str(path.relative_to(cache))
            records.append(record)
    return records


def write_listing(records: list[dict], path: Path) -> None:
    with open(path, "w", encoding="utf-8") as listing:
        listing.write("# url\ttype\tstatus\tstored\tcontent-type\tencoding\ttime (UTC)\trecord file\tnotes\n")
        for r in sorted(records, key=lambda r: (r["identifier"] or "", r["type"] or "")):
            stamp = datetime.datetime.fromtimestamp(r["time"], datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
            listing.write(f"{r['identifier']}\t{r['type']}\t{r['status']}\t{len(r['body'])}\t"
                          f"{r['headers'].get('content-type', '-')}\t{r['headers'].get('content-encoding', '-')}\t"
                          f"{stamp}\t{r['file']}\t{'; '.join(r['notes'])}\n")


# --------------------------------------------------------------------------
# The visit
# --------------------------------------------------------------------------


def start_epiphany(url: str, home: Path) -> subprocess.Popen:
    """epiphany showing `url` on a virtual screen in a D-Bus session of its
    own, in a session of processes of its own; its output goes to
    HOME/epiphany.log."""
    env = fixtures.browser_environment(home)
    # The web process's sandbox needs user namespaces, which containers and
    # root often lack; the pages are this script's own.
    env["WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS"] = "1"
    env["WEBKIT_DISABLE_COMPOSITING_MODE"] = "1"
    env["NO_AT_BRIDGE"] = "1"
    with open(home / "epiphany.log", "w") as output:
        return subprocess.Popen(["dbus-run-session", "--", "xvfb-run", "-a", "epiphany", url], env=env,
                                stdin=subprocess.DEVNULL, stdout=output, stderr=output, start_new_session=True)


def cache_folder(home: Path) -> Path:
    return home / ".cache/epiphany/WebKitCache"


def visit(url: str, home: Path, log: fixtures.ServerLog) -> list[str]:
    """Has epiphany load `url` and whatever it embeds, then lets it write its
    cache and ends it. Returns the server's log of the visit."""
    process = start_epiphany(url, home)
    lines: list[str] = []
    try:
        started = last = time.monotonic()
        while time.monotonic() - started < VISIT_TIMEOUT:
            time.sleep(0.5)
            new = log.take()
            if new:
                lines += new
                last = time.monotonic()
            elif lines and time.monotonic() - last > QUIET_SECONDS:
                break
        else:
            raise RuntimeError("the visit did not settle; see epiphany.log")
        time.sleep(WRITE_SECONDS)
    finally:
        fixtures.stop_process_group(process)
    return lines + log.take()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="new or empty folder for the cache")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT,
                        help=f"port of the site (default {DEFAULT_PORT}; it is part of every cache key)")
    args = parser.parse_args()
    absent = [tool for tool in ("epiphany", "xvfb-run", "dbus-run-session") if shutil.which(tool) is None]
    if absent:
        sys.exit(f"not installed: {', '.join(absent)} (apt-get install epiphany-browser xvfb dbus)")
    out = Path(args.out)
    if out.exists() and any(out.iterdir()):
        sys.exit(f"{out} is not empty; name a new folder")
    out.mkdir(parents=True, exist_ok=True)

    site = build_site()
    log = fixtures.ServerLog()
    servers = fixtures.LoopbackServers(args.port, site, log)
    try:
        with tempfile.TemporaryDirectory(prefix="webgleaner-epiphany-home-") as home_name:
            home = Path(home_name)
            lines = visit(f"http://127.0.0.1:{args.port}/index.html", home, log)
            cache = cache_folder(home)
            if not cache.is_dir():
                sys.exit(f"epiphany wrote no cache at {cache}; its output:\n" + (home / "epiphany.log").read_text())
            shutil.copytree(cache, out / "WebKitCache")
    finally:
        servers.close()
    (out / "server.log").write_text("\n".join(lines) + "\n", encoding="utf-8")
    for path, resource in site.items():
        sent = out / "bodies" / path.lstrip("/")
        sent.parent.mkdir(parents=True, exist_ok=True)
        sent.write_bytes(fixtures.encode(resource.body, resource.coding) if resource.coding else resource.body)
    records = read_cache(out / "WebKitCache")
    write_listing(records, out / "listing.txt")
    size = sum(p.stat().st_size for p in (out / "WebKitCache").rglob("*") if p.is_file())
    blobs = sum(1 for r in records if "blob" in r["notes"])
    print(f"{len(records)} records ({blobs} with a blob), {size / 1e3:.0f} kB in {out / 'WebKitCache'}")


if __name__ == "__main__":
    main()
