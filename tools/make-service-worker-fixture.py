#!/usr/bin/env python3
"""Make a small service-worker cache (CacheStorage) written by Debian's chromium.

Serves a site on 127.0.0.1 (a secure origin for service workers, like any
loopback address) whose page registers a service worker; on install the
worker opens two caches and fills them: "site-v1" with the page, a picture
and a style sheet the server sends gzip-encoded, "extras" with a response
put by script with a 404 status, an opaque response fetched without CORS from
localhost, and a JSON file. Headless chromium visits the page with a
throw-away home, and the profile's "Service Worker/CacheStorage" folder is
copied to OUT/CacheStorage with a listing:

    OUT/CacheStorage/<origin hash>/index.txt
    OUT/CacheStorage/<origin hash>/<cache id>/   (a simple cache each)
    OUT/listing.txt                               (every entry, read back here)
    OUT/bodies/<name>                             (what the server sent, decoded)

With --bulk N the page then also fills a cache "bulk" with N generated
resources (pages, sheets and pictures of varied sizes) through the Cache API:
a large service-worker cache for the cache benchmark, too big to commit.

Needs python3 (standard library only) and chromium; uses the server and
browser plumbing of make-cache-fixtures.py.
"""

from __future__ import annotations

import argparse
import http.server
import importlib.util
import shutil
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

PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>waiting</title>
<link rel="stylesheet" href="/sw/style.css"></head>
<body><h1>离线页面</h1><p>A page kept by its service worker.</p><img src="/sw/picture.png">
<script>
navigator.serviceWorker.register('/sw/worker.js').then(() => navigator.serviceWorker.ready)
  .then(() => caches.open('extras')).then(c => c.keys())
  .then(keys => { document.title = 'ready ' + keys.length; })
  .catch(e => { document.title = 'failed ' + e; });
</script></body></html>
"""

WORKER = """
self.addEventListener('install', event => {
  event.waitUntil((async () => {
    const site = await caches.open('site-v1');
    await site.addAll(['/sw/index.html', '/sw/picture.png', '/sw/style.css']);
    const extras = await caches.open('extras');
    await extras.put('/sw/missing.html', new Response('gone', {status: 404, statusText: 'Not Found',
                                                               headers: {'Content-Type': 'text/plain'}}));
    await extras.put('http://localhost:%(port)d/sw/other.gif',
                     await fetch('http://localhost:%(port)d/sw/other.gif', {mode: 'no-cors'}));
    await extras.add('/sw/data.json');
  })());
  self.skipWaiting();
});
self.addEventListener('activate', event => event.waitUntil(self.clients.claim()));
"""

BULK_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>filling</title></head><body>
<script>
const count = %(count)d, batch = 200, kinds = ['html', 'css', 'png', 'html', 'js'];
(async () => {
  const cache = await caches.open('bulk');
  for (let first = 0; first < count; first += batch) {
    const urls = [];
    for (let n = first; n < Math.min(count, first + batch); ++n)
      urls.push(`/bulk/${n}.${kinds[n %% kinds.length]}`);
    await cache.addAll(urls);
  }
  document.title = 'bulk done ' + (await cache.keys()).length;
})().catch(e => { document.title = 'bulk failed ' + e; });
</script></body></html>
"""

BULK_TYPES = {"html": "text/html; charset=utf-8", "css": "text/css", "js": "application/javascript",
              "png": "image/png"}


def bulk_resource(path: str) -> tuple[bytes, str, str | None] | None:
    """/bulk/<n>.<kind>: a generated resource, a text one gzip-encoded every third time."""
    name = path.rsplit("/", 1)[-1]
    number, _, kind = name.partition(".")
    if not number.isdigit() or kind not in BULK_TYPES:
        return None
    n = int(number)
    if kind == "png":
        body = fixtures.png_image(8 + n % 40, 8 + n % 24, lambda x, y: ((x * 7 + n) % 256, (y * 5) % 256, n % 256))
    else:
        body = (f"<!-- resource {n} -->\n" + "".join(f"line {i} of resource {n}\n" for i in range(20 + n % 200))).encode()
    return body, BULK_TYPES[kind], "gzip" if kind != "png" and n % 3 == 0 else None


STYLE = "body { font-family: sans-serif; color: #234; }\n" + "".join(
    f".line{n} {{ margin-left: {n}px; }}\n" for n in range(40))


def site(port: int) -> dict[str, tuple[bytes, str, str | None]]:
    """Path to (body, content type, content coding)."""
    picture = fixtures.png_image(24, 16, lambda x, y: (10 * x, 15 * y, 128))
    other = fixtures.gif_image(8, 8, [(255, 0, 0), (0, 0, 255)], lambda x, y: (x + y) % 2)
    return {
        "/sw/index.html": (PAGE.encode(), "text/html; charset=utf-8", None),
        "/sw/worker.js": ((WORKER % {"port": port}).encode(), "application/javascript", None),
        "/sw/style.css": (STYLE.encode(), "text/css", "gzip"),
        "/sw/picture.png": (picture, "image/png", None),
        "/sw/other.gif": (other, "image/gif", None),
        "/sw/data.json": (b'{"kept": "by a service worker", "items": [1, 2, 3]}\n', "application/json", None),
    }


def handler_for(resources: dict[str, tuple[bytes, str, str | None]]):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, format: str, *args: object) -> None:  # noqa: A002 - the base class's name
            pass

        def do_GET(self) -> None:
            path, _, query = self.path.partition("?")
            if path == "/sw/bulk.html":
                count = int(query.partition("=")[2] or 0)
                found = ((BULK_PAGE % {"count": count}).encode(), "text/html; charset=utf-8", None)
            else:
                found = resources.get(path) or (bulk_resource(path) if path.startswith("/bulk/") else None)
            if not found:
                self.send_response(404)
                self.send_header("Content-Length", str(len(fixtures.NOT_FOUND_BODY)))
                self.end_headers()
                self.wfile.write(fixtures.NOT_FOUND_BODY)
                return
            body, content_type, coding = found
            if coding:
                body = fixtures.encode(body, coding)
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            self.send_header("Cache-Control", "no-cache")
            self.send_header("Last-Modified", fixtures.LAST_MODIFIED)
            if coding:
                self.send_header("Content-Encoding", coding)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    return Handler


# --------------------------------------------------------------------------
# Reading the caches back: the protobuf in stream 0, just enough of it
# --------------------------------------------------------------------------


def varint(data: bytes, offset: int) -> tuple[int, int]:
    value, shift = 0, 0
    while True:
        byte = data[offset]
        offset += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, offset


def fields(data: bytes) -> list[tuple[int, int | bytes]]:
    out = []
    offset = 0
    while offset < len(data):
        tag, offset = varint(data, offset)
        number, wire = tag >> 3, tag & 7
        if wire == 0:
            value, offset = varint(data, offset)
        elif wire == 2:
            length, offset = varint(data, offset)
            value, offset = data[offset:offset + length], offset + length
        elif wire == 1:
            value, offset = data[offset:offset + 8], offset + 8
        elif wire == 5:
            value, offset = data[offset:offset + 4], offset + 4
        else:
            raise ValueError(f"wire type {wire}")
        out.append((number, value))
    return out


def describe(stream0: bytes) -> tuple[int, int, list[tuple[str, str]]]:
    """Status, response type and response headers of a CacheMetadata message."""
    response = next(v for n, v in fields(stream0) if n == 2)
    parts = fields(response)
    status = next((v for n, v in parts if n == 1), 0)
    kind = next((v for n, v in parts if n == 3), 0)
    headers = []
    for number, value in parts:
        if number == 4:
            pair = dict(fields(value))
            headers.append((pair.get(1, b"").decode("latin-1"), pair.get(2, b"").decode("latin-1")))
    return status, kind, headers


def read_cache(folder: Path) -> list[str]:
    lines = []
    for path in sorted(folder.glob("*_0")):
        key, stream0, body = fixtures.simple_entry_parts(path.read_bytes())
        body_size = len(body)
        status, kind, headers = describe(stream0)
        content_type = next((v for n, v in headers if n.lower() == "content-type"), "-")
        coding = next((v for n, v in headers if n.lower() == "content-encoding"), "-")
        lines.append(f"{key:48} {status:3} type={kind} body={body_size:5} {content_type:26} header-coding={coding}"
                     f"  {path.name}")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="new or empty folder")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"port of the site (default {DEFAULT_PORT})")
    parser.add_argument("--bulk", type=int, default=0, metavar="N",
                        help="also fill a cache with N generated resources (for benchmarks)")
    args = parser.parse_args()
    out = fixtures.new_output_folder(args.out)
    resources = site(args.port)
    servers = fixtures.LoopbackServers(args.port, {}, fixtures.ServerLog(), handler_for(resources))
    try:
        with tempfile.TemporaryDirectory(prefix="webgleaner-browser-home-") as home_name:
            home = Path(home_name)
            browser = fixtures.ChromiumSession(home, [])
            try:
                browser.visit(f"http://127.0.0.1:{args.port}/sw/index.html")
                deadline = time.monotonic() + fixtures.BROWSER_TIMEOUT
                title = ""
                while time.monotonic() < deadline and not title.startswith(("ready", "failed")):
                    time.sleep(0.5)
                    title = str(browser.evaluate("document.title") or "")
                print(f"page says: {title}")
                if args.bulk:
                    browser.visit(f"http://127.0.0.1:{args.port}/sw/bulk.html?count={args.bulk}", quiet=0)
                    deadline = time.monotonic() + 60 + args.bulk / 50
                    title = ""
                    while time.monotonic() < deadline and not title.startswith(("bulk done", "bulk failed")):
                        time.sleep(1)
                        title = str(browser.evaluate("document.title") or "")
                    print(f"bulk page says: {title}")
            finally:
                browser.close()
            storage = home / ".config" / "chromium" / "Default" / "Service Worker" / "CacheStorage"
            if not storage.is_dir():
                sys.exit(f"chromium wrote no CacheStorage at {storage}")
            out.mkdir(parents=True, exist_ok=True)
            shutil.copytree(storage, out / "CacheStorage")
    finally:
        servers.close()

    bodies = out / "bodies"
    bodies.mkdir()
    for path, (body, _, _) in resources.items():
        if path == "/sw/worker.js":
            continue  # kept by the worker registration, not in CacheStorage
        (bodies / path.rsplit("/", 1)[-1]).write_bytes(body)
    if args.bulk:
        print(f"{args.bulk} resources filled; no listing made")
        return
    listing = []
    for cache in sorted(p for p in (out / "CacheStorage").glob("*/*") if p.is_dir()):
        listing.append(f"{cache.relative_to(out)}:")
        listing.extend("  " + line for line in read_cache(cache))
    (out / "listing.txt").write_text("\n".join(listing) + "\n", encoding="utf-8")
    print("\n".join(listing))


if __name__ == "__main__":
    main()
