#!/usr/bin/env python3
"""Make a large Chromium cache, for benchmarks: the simple format, or with
--backend blockfile the block-file format of Chromium on Windows.

Serves a generated site on 127.0.0.1 (small pages, style sheets, scripts,
GIF, JPEG and PNG pictures and JSON files, sizes varied a little, about a
third of the text gzip-encoded) and has Debian's headless chromium fetch
every resource once from driver pages that run fetch() calls in parallel,
a batch a page. The cache it wrote is copied to OUT/Cache_Data.

The cache is not test data: it is too big to commit, and a benchmark reads
it from wherever it was made. Needs python3 (standard library only) and
chromium; uses the server and browser plumbing of make-cache-fixtures.py.
"""

from __future__ import annotations

import argparse
import http.server
import importlib.util
import json
import random
import shutil
import struct
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

_FIXTURES_PATH = Path(__file__).with_name("make-cache-fixtures.py")
_spec = importlib.util.spec_from_file_location("make_cache_fixtures", _FIXTURES_PATH)
fixtures = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = fixtures  # dataclasses look their module up while the file loads
_spec.loader.exec_module(fixtures)

DEFAULT_PORT = 18433
# Kind of resource by index modulo 10: mostly pages and pictures, as in a
# real browsing cache.
KINDS = ["htm", "htm", "htm", "css", "js", "gif", "jpg", "png", "png", "json"]
CONTENT_TYPES = {
    "htm": "text/html; charset=utf-8",
    "css": "text/css",
    "js": "application/javascript",
    "gif": "image/gif",
    "jpg": "image/jpeg",
    "png": "image/png",
    "json": "application/json",
}
WORDS = ("cache entry browser page picture index harvest local file size time site style script "
         "缓存 页面 图片 文件").split()


def resource_body(number: int, kind: str) -> bytes:
    """Deterministic content for resource `number`; text sizes vary around a
    typical size for the kind, pictures vary in dimensions."""
    rng = random.Random(number)
    if kind in ("gif", "png", "jpg"):
        width, height = rng.randint(8, 48), rng.randint(8, 48)
        shade = rng.randrange(256)
        if kind == "gif":
            palette = [((shade + 37 * i) % 256, (91 * i) % 256, (255 - 23 * i) % 256) for i in range(8)]
            return fixtures.gif_image(width, height, palette, lambda x, y: (x // 3 + y // 5 + shade) % 8)
        if kind == "png":
            return fixtures.png_image(width, height, lambda x, y: ((x * 5 + shade) % 256, (y * 5) % 256, shade))
        return fixtures.jpeg_image(width, height, seed=number, detail=0.2)
    target = {"htm": 3000, "css": 1800, "js": 2500, "json": 600}[kind]
    text_size = int(target * rng.uniform(0.5, 1.5))
    words = []
    while sum(len(w) + 1 for w in words) < text_size:
        words.append(rng.choice(WORDS) + str(rng.randrange(1000)))
    text = " ".join(words)
    if kind == "htm":
        # The sheet and the pictures next to it in the numbering, as a real page loads its own: composing
        # its archive looks them up in the cache.
        base = number - number % 10
        loads = (f'<link rel="stylesheet" href="{resource_path(base + 3)}">'
                 + "".join(f'<img src="{resource_path(base + k)}">' for k in (5, 6, 7)))
        return (f'<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Page {number}</title>{loads}</head>\n'
                f"<body><h1>Page {number}</h1>\n<p>{text}</p></body></html>\n").encode()
    if kind == "css":
        return f"/* style {number} */\n.c{number} {{ margin: {number % 17}px; }}\n/* {text} */\n".encode()
    if kind == "js":
        return f"// script {number}\nvar s{number} = {json.dumps(text, ensure_ascii=False)};\n".encode()
    return json.dumps({"id": number, "text": text}, ensure_ascii=False).encode()


def resource_path(number: int) -> str:
    return f"/r/{number // 1000}/{number}.{KINDS[number % 10]}"


DRIVER_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>running</title></head><body>
<script>
const first = %(first)d, count = %(count)d, workers = %(workers)d, kinds = %(kinds)s;
let next = first, ok = 0, failed = 0;
async function worker() {
  while (next < first + count) {
    const n = next++;
    try {
      const response = await fetch(`/r/${Math.floor(n / 1000)}/${n}.${kinds[n %% 10]}`);
      await response.arrayBuffer();
      if (response.ok) ok++; else failed++;
    } catch (e) { failed++; }
  }
}
Promise.all(Array.from({length: workers}, worker)).then(() => { document.title = `done ${ok} ${failed}`; });
</script></body></html>
"""


class LargeSiteHandler(http.server.BaseHTTPRequestHandler):
    """/run.html?first=N&count=M&workers=W: a page that fetches resources N..N+M-1;
    /r/<thousands>/<n>.<kind>: resource n."""

    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002 - the base class's name
        pass

    def do_GET(self) -> None:
        path, _, query = self.path.partition("?")
        if path == "/run.html":
            params = {k: int(v[0]) for k, v in urllib.parse.parse_qs(query).items()}
            page = DRIVER_PAGE % {"first": params.get("first", 0), "count": params.get("count", 0),
                                  "workers": params.get("workers", 8), "kinds": json.dumps(KINDS)}
            self._send(200, "text/html; charset=utf-8", page.encode(), "no-store")
            return
        parts = path.split("/")
        try:
            number = int(parts[3].split(".")[0])
            kind = parts[3].split(".")[1]
        except (IndexError, ValueError):
            self._send(404, "text/plain", fixtures.NOT_FOUND_BODY, None)
            return
        if len(parts) != 4 or parts[1] != "r" or KINDS[number % 10] != kind:
            self._send(404, "text/plain", fixtures.NOT_FOUND_BODY, None)
            return
        body = resource_body(number, kind)
        gzipped = kind not in ("gif", "png", "jpg") and number % 3 == 0
        if gzipped and "gzip" in (self.headers.get("Accept-Encoding") or ""):
            self._send(200, CONTENT_TYPES[kind], fixtures.encode(body, "gzip"), fixtures.LONG_CACHE, "gzip")
        else:
            self._send(200, CONTENT_TYPES[kind], body, fixtures.LONG_CACHE)

    def _send(self, status: int, content_type: str, body: bytes, cache_control: str | None,
              coding: str | None = None) -> None:
        self.send_response(status)
        if cache_control:
            self.send_header("Cache-Control", cache_control)
        self.send_header("Last-Modified", fixtures.LAST_MODIFIED)
        self.send_header("Content-Type", content_type)
        if coding:
            self.send_header("Content-Encoding", coding)
            self.send_header("Vary", "Accept-Encoding")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def wait_for_title(browser, prefix: str, timeout: float) -> str:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        title = str(browser.evaluate("document.title") or "")
        if title.startswith(prefix):
            return title
        time.sleep(0.5)
    raise TimeoutError(f"the driver page did not finish within {timeout:.0f} s")


def index_entry_count(cache: Path) -> int | None:
    index = cache / "index-dir" / "the-real-index"
    if not index.is_file():
        return None
    return struct.unpack_from("<Q", index.read_bytes(), 20)[0]


def blockfile_entry_count(cache: Path) -> int | None:
    """The entry count a blockfile index's header records."""
    index = cache / "index"
    if not index.is_file():
        return None
    return struct.unpack_from("<i", index.read_bytes(), 8)[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="new or empty folder; the cache goes to OUT/Cache_Data")
    parser.add_argument("--entries", type=int, default=20000, help="resources to fetch (default 20000)")
    parser.add_argument("--batch", type=int, default=2500, help="resources a driver page fetches (default 2500)")
    parser.add_argument("--workers", type=int, default=12, help="parallel fetch() calls a page (default 12)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"port of the site (default {DEFAULT_PORT})")
    parser.add_argument("--backend", choices=["simple", "blockfile"], default="simple",
                        help="the cache format chromium writes (default simple)")
    args = parser.parse_args()
    out = fixtures.new_output_folder(args.out)

    started = time.monotonic()
    servers = fixtures.LoopbackServers(args.port, {}, fixtures.ServerLog(), LargeSiteHandler)
    failed_total = 0
    try:
        with tempfile.TemporaryDirectory(prefix="webgleaner-browser-home-") as home_name:
            home = Path(home_name)
            # Large enough that nothing is evicted; the default depends on the free disk space.
            flags = ["--disk-cache-size=2000000000"]
            if args.backend == "blockfile":
                flags.append("--enable-features=DiskCacheBackendExperiment:backend/blockfile")
            browser = fixtures.ChromiumSession(home, flags, watch_network=False)
            try:
                for first in range(0, args.entries, args.batch):
                    count = min(args.batch, args.entries - first)
                    browser.visit(f"http://127.0.0.1:{args.port}/run.html?first={first}&count={count}"
                                  f"&workers={args.workers}", quiet=0)
                    _, ok, failed = wait_for_title(browser, "done", timeout=600).split()
                    failed_total += int(failed)
                    print(f"fetched {first + count:6} of {args.entries} ({time.monotonic() - started:.0f} s)",
                          flush=True)
            finally:
                browser.close()
            cache = browser.cache_folder()
            out.mkdir(parents=True, exist_ok=True)
            shutil.copytree(cache, out / "Cache_Data")
    finally:
        servers.close()

    cache = out / "Cache_Data"
    size = sum(p.stat().st_size for p in cache.rglob("*") if p.is_file())
    if args.backend == "blockfile":
        held = f"{blockfile_entry_count(cache)} entries in the index"
    else:
        held = f"{len(list(cache.glob('*_0')))} entries ({index_entry_count(cache)} in the index)"
    print(f"\n{cache}: {held}, {size / 1e6:.1f} MB, made in {time.monotonic() - started:.0f} s")
    if failed_total:
        print(f"{failed_total} fetches failed", file=sys.stderr)


if __name__ == "__main__":
    main()
