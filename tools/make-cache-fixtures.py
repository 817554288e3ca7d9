#!/usr/bin/env python3
"""Make small caches written by real browsers, for WebGleaner's tests.

Serves a small site of its own on 127.0.0.1 (and on localhost, so that one
page embeds the site from a second site), visits it with Debian's headless
chromium (simple backend, then blockfile backend) and firefox-esr, each
with a throw-away home and profile, and copies the cache folders the
browsers wrote into an output folder:

    OUT/chromium/simple/Cache_Data      + listing.txt server.log drive.log
    OUT/chromium/blockfile/Cache_Data   + listing.txt server.log drive.log
    OUT/firefox/cache2                  + listing.txt server.log drive.log layout.txt

Needs python3 (standard library only), chromium, firefox-esr, and the
command-line tools brotli and zstd for those two encodings (without them the
files meant for them are served identity-encoded, and the run says so).
Every picture, sound and text of the site is generated here.

make-large-cache.py imports this file for its server and browser plumbing.
"""

from __future__ import annotations

import argparse
import configparser
import datetime
import fcntl
import gzip
import http.server
import io
import json
import math
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import wave
import zlib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

DEFAULT_PORT = 18431
LAST_MODIFIED = "Wed, 01 May 2024 08:00:00 GMT"
LONG_CACHE = "public, max-age=86400"
NOT_FOUND_BODY = b"not found\n"
# How long a browser gets to start, load one page, or shut down before the
# run is called hung.
BROWSER_TIMEOUT = 90.0


# --------------------------------------------------------------------------
# Binary assets, made from bytes so that no image library is needed.
# --------------------------------------------------------------------------


def png_image(width: int, height: int, pixel: Callable[[int, int], tuple[int, int, int]]) -> bytes:
    """An 8-bit RGB PNG; pixel(x, y) gives (r, g, b)."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)  # filter type None
        for x in range(width):
            rows += bytes(pixel(x, y))

    def chunk(tag: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows), 9))
            + chunk(b"IEND", b""))


class _BitsLowFirst:
    """Bit packer for GIF: codes go in least significant bit first."""

    def __init__(self) -> None:
        self.out = bytearray()
        self._buffer = 0
        self._count = 0

    def put(self, value: int, width: int) -> None:
        self._buffer |= value << self._count
        self._count += width
        while self._count >= 8:
            self.out.append(self._buffer & 0xFF)
            self._buffer >>= 8
            self._count -= 8

    def finish(self) -> bytes:
        if self._count:
            self.out.append(self._buffer & 0xFF)
        return bytes(self.out)


def gif_lzw(pixels: bytes, min_code_size: int) -> bytes:
    """GIF's LZW. The code width grows at the same step as in a decoder (the
    check follows each code written, before the new table entry), and the
    table restarts with a clear code before it would pass 4095 entries."""
    clear_code = 1 << min_code_size
    end_code = clear_code + 1
    bits = _BitsLowFirst()
    width = min_code_size + 1
    next_code = end_code + 1
    table: dict[tuple[int, int], int] = {}

    def emit(code: int) -> None:
        nonlocal width
        bits.put(code, width)
        if next_code >= (1 << width) and width < 12:
            width += 1

    emit(clear_code)
    prefix = pixels[0]
    for pixel in pixels[1:]:
        code = table.get((prefix, pixel))
        if code is not None:
            prefix = code
            continue
        emit(prefix)
        if next_code >= 4095:
            emit(clear_code)
            table.clear()
            next_code = end_code + 1
            width = min_code_size + 1
        else:
            table[(prefix, pixel)] = next_code
            next_code += 1
        prefix = pixel
    emit(prefix)
    emit(end_code)
    return bits.finish()


def gif_image(width: int, height: int, palette: list[tuple[int, int, int]],
              index: Callable[[int, int], int]) -> bytes:
    """A GIF89a with a global palette; index(x, y) picks the palette entry."""
    depth = max(1, (len(palette) - 1).bit_length())
    colours = palette + [(0, 0, 0)] * ((1 << depth) - len(palette))
    pixels = bytes(index(x, y) for y in range(height) for x in range(width))
    data = gif_lzw(pixels, max(2, depth))
    blocks = b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255] for i in range(0, len(data), 255))
    return (b"GIF89a" + struct.pack("<HHBBB", width, height, 0x80 | (depth - 1), 0, 0)
            + b"".join(bytes(c) for c in colours)
            + b"," + struct.pack("<HHHHB", 0, 0, width, height, 0)
            + bytes([max(2, depth)]) + blocks + b"\x00;")


class _BitsHighFirst:
    """Bit packer for JPEG entropy-coded data: most significant bit first,
    0xFF followed by a stuffed 0x00, padded with one bits."""

    def __init__(self) -> None:
        self.out = bytearray()
        self._buffer = 0
        self._count = 0

    def put(self, value: int, width: int) -> None:
        self._buffer = (self._buffer << width) | (value & ((1 << width) - 1))
        self._count += width
        while self._count >= 8:
            self._count -= 8
            byte = (self._buffer >> self._count) & 0xFF
            self.out.append(byte)
            if byte == 0xFF:
                self.out.append(0)
        self._buffer &= (1 << self._count) - 1

    def finish(self) -> bytes:
        if self._count:
            self.put((1 << (8 - self._count)) - 1, 8 - self._count)
        return bytes(self.out)


def jpeg_image(width: int, height: int, seed: int, detail: float) -> bytes:
    """A baseline YCbCr JPEG written from quantised DCT coefficients chosen
    here rather than computed from pixels: block averages follow a soft
    colour gradient and the higher frequencies carry seeded noise, `detail`
    (0..1) being the share of them that are not zero. That gives a valid
    picture of any size without a DCT. Both Huffman tables use fixed-length
    codes over a small symbol set (coefficients limited to +-15)."""
    rng = random.Random(seed)
    quant = 4
    dc_symbols = list(range(12))
    ac_symbols = [0x00, 0xF0] + [(run << 4) | size for run in range(16) for size in range(1, 5)]
    dc_length, ac_length = 4, 7
    ac_code = {symbol: i for i, symbol in enumerate(ac_symbols)}

    def segment(marker: int, payload: bytes) -> bytes:
        return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload

    def huffman_table(table_class: int, length: int, symbols: list[int]) -> bytes:
        counts = [0] * 16
        counts[length - 1] = len(symbols)
        return bytes([(table_class << 4) | 0]) + bytes(counts) + bytes(symbols)

    def magnitude(value: int) -> tuple[int, int]:
        size = abs(value).bit_length()
        return size, (value if value >= 0 else value + (1 << size) - 1)

    bits = _BitsHighFirst()
    previous_dc = [0, 0, 0]
    blocks_x, blocks_y = (width + 7) // 8, (height + 7) // 8
    for by in range(blocks_y):
        for bx in range(blocks_x):
            u, v = bx / max(1, blocks_x - 1), by / max(1, blocks_y - 1)
            levels = (100 * math.sin(3.0 * u + 2.0 * v), 90 * math.cos(2.5 * u), 90 * math.sin(2.0 * v + 1.0))
            for component in range(3):
                dc = round(levels[component] * 8 / quant)
                size, extra = magnitude(dc - previous_dc[component])
                previous_dc[component] = dc
                bits.put(size, dc_length)
                if size:
                    bits.put(extra, size)
                run = 0
                for k in range(1, 64):
                    if rng.random() >= detail * (1.0 - k / 96.0):
                        run += 1
                        continue
                    value = rng.randint(1, 15 if k < 16 else 7) * rng.choice((-1, 1))
                    while run > 15:
                        bits.put(ac_code[0xF0], ac_length)
                        run -= 16
                    size, extra = magnitude(value)
                    bits.put(ac_code[(run << 4) | size], ac_length)
                    bits.put(extra, size)
                    run = 0
                if run:
                    bits.put(ac_code[0x00], ac_length)
    scan = bits.finish()
    frame = struct.pack(">BHHB", 8, height, width, 3) + b"".join(bytes([c, 0x11, 0]) for c in (1, 2, 3))
    return (b"\xff\xd8"
            + segment(0xE0, b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00")
            + segment(0xDB, bytes([0]) + bytes([quant] * 64))
            + segment(0xC0, frame)
            + segment(0xC4, huffman_table(0, dc_length, dc_symbols) + huffman_table(1, ac_length, ac_symbols))
            + segment(0xDA, bytes([3, 1, 0x00, 2, 0x00, 3, 0x00, 0, 63, 0]))
            + scan + b"\xff\xd9")


def wav_tone(seconds: float = 5.0, rate: int = 22050, frequency: float = 440.0) -> bytes:
    """16-bit mono sine tone."""
    frames = int(seconds * rate)
    samples = b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * frequency * i / rate)))
                       for i in range(frames))
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as writer:
        writer.setnchannels(1)
        writer.setsampwidth(2)
        writer.setframerate(rate)
        writer.writeframes(samples)
    return buffer.getvalue()


# --------------------------------------------------------------------------
# Content encodings
# --------------------------------------------------------------------------


def _tool_encoder(argv: list[str]) -> Callable[[bytes], bytes] | None:
    if shutil.which(argv[0]) is None:
        return None
    # Fed through a pipe, zstd leaves the content size out of the frame
    # header, as streaming servers do; readers must cope with that.
    return lambda body: subprocess.run(argv, input=body, stdout=subprocess.PIPE, check=True).stdout


ENCODERS: dict[str, Callable[[bytes], bytes] | None] = {
    "gzip": lambda body: gzip.compress(body, 9, mtime=0),
    "deflate": lambda body: zlib.compress(body, 9),
    "br": _tool_encoder(["brotli", "-c", "-q", "11"]),
    "zstd": _tool_encoder(["zstd", "-c", "-q", "-19"]),
}


def encode(body: bytes, coding: str) -> bytes:
    encoder = ENCODERS.get(coding)
    if encoder is None:
        raise ValueError(f"no encoder for {coding}")
    return encoder(body)


def missing_encoders() -> list[str]:
    return [name for name, encoder in ENCODERS.items() if encoder is None]


def decode(body: bytes, codings: str) -> bytes | None:
    """Undoes a Content-Encoding list (applied left to right); None when a
    coding is unknown or the body does not decode."""
    tools = {"br": ["brotli", "-d", "-c"], "zstd": ["zstd", "-d", "-c", "-q"]}
    for coding in reversed([c.strip().lower() for c in codings.split(",") if c.strip()]):
        try:
            if coding in ("gzip", "x-gzip"):
                body = zlib.decompress(body, 16 + zlib.MAX_WBITS)
            elif coding == "deflate":
                try:
                    body = zlib.decompress(body)
                except zlib.error:
                    body = zlib.decompress(body, -zlib.MAX_WBITS)
            elif coding in tools and shutil.which(tools[coding][0]):
                body = subprocess.run(tools[coding], input=body, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, check=True).stdout
            elif coding != "identity":
                return None
        except (zlib.error, subprocess.CalledProcessError):
            return None
    return body


# --------------------------------------------------------------------------
# The site
# --------------------------------------------------------------------------


@dataclass
class Resource:
    body: bytes
    content_type: str
    coding: str | None = None
    cache_control: str | None = LONG_CACHE
    chunked: bool = False
    ranges: bool = False


LONG_QUERY = "long=" + "a" * 300
LONGER_QUERY = "longer=" + "b" * 1200


def _page_index() -> str:
    return f"""<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<title>中文测试页面 - UTF-8 编码</title>
<link rel="stylesheet" href="css/style.css">
<link rel="stylesheet" href="css/print.css" media="print">
<script src="js/app.js"></script>
<script src="js/plain.js"></script>
<script src="js/big.js"></script>
<script>fetch("data/info.json?credentials=omit", {{credentials: "omit"}});</script>
</head>
<body>
<h1>缓存样本首页</h1>
<p>这是一个用于生成浏览器缓存样本的页面。</p>
<img src="img/logo.gif" alt="logo">
<img src="img/photo.jpg" alt="photo">
<img src="img/icon.png" alt="icon">
<img src="img/icon.png?v=2" alt="icon with query">
<img src="img/图标.png" alt="icon with a Chinese file name">
<img src="big/photo-big.jpg" alt="big picture">
<audio src="media/tone.wav" preload="auto"></audio>
<ul>
<li><a href="gbk.html">GBK</a></li>
<li><a href="upper.html">upper</a></li>
<li><a href="sub/dir/page.html">sub page</a></li>
</ul>
</body>
</html>
"""


def _page_gbk() -> bytes:
    return """<!DOCTYPE html>
<html>
<head>
<meta http-equiv="Content-Type" content="text/html; charset=gbk">
<title>简体中文网页（GBK编码）</title>
<link rel="stylesheet" href="css/style.css">
</head>
<body>
<p>这一页用 GBK 编码保存。</p>
<img src="img/photo.jpg">
</body>
</html>
""".encode("gbk")


def _page_upper() -> str:
    return f"""<HTML>
<HEAD>
<TITLE>Upper Case Title Page</TITLE>
<LINK REL="stylesheet" HREF="css/style.css">
</HEAD>
<BODY>
<P>Tags written in capitals; served gzip-encoded.</P>
<IMG SRC="img/logo.gif">
<IMG SRC="img/icon.png?{LONG_QUERY}">
<IMG SRC="img/icon.png?{LONGER_QUERY}">
</BODY>
</HTML>
"""


def _page_relative() -> str:
    return """<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<title>相对路径测试 relative references</title>
<link rel="stylesheet" href="../../css/style.css">
<script src="./local.js"></script>
</head>
<body>
<p>Relative references: ../../, ../, ./ and a root-absolute one.</p>
<img src="./local.png">
<img src="../shared.gif">
<img src="../../img/logo.gif">
<img src="/img/photo.jpg">
<img src="../dir/./../../img/icon.png">
</body>
</html>
"""


def _page_cross(port: int) -> str:
    site = f"http://127.0.0.1:{port}"
    return f"""<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>cross-site embedder</title></head>
<body>
<p>Loaded from a second host name so that the same resource URLs land in a second cache partition.</p>
<img src="{site}/img/logo.gif">
<img crossorigin="anonymous" src="{site}/img/logo.gif?cors=anonymous">
<script src="{site}/js/plain.js"></script>
<iframe src="{site}/sub/dir/page.html"></iframe>
</body>
</html>
"""


NOSTORE_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>no-store page</title></head>
<body><p>Served with Cache-Control: no-store; never kept.</p></body></html>
"""

NOCACHE_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>no-cache page</title></head>
<body><p>Served with Cache-Control: no-cache; stored, but revalidated on every use.</p>
<form method="post" action="/post/echo"><input name="q" value="缓存"><button>post</button></form>
</body></html>
"""


def _style_css() -> str:
    rules = "".join(f".rule{i} {{ padding: {i}px; margin: {2 * i}px; }}\n" for i in range(1, 41))
    return ("/* main style sheet, served with Content-Encoding: gzip */\n"
            'body { font-family: "Noto Sans CJK SC", sans-serif; margin: 2em; '
            "background: #fafafa url(../img/icon.png) no-repeat right top; }\n"
            "h1 { color: #345; border-bottom: 1px solid #ccc; }\n"
            "img { margin: 4px; border: 1px solid #999; }\n" + rules)


def _print_css() -> str:
    rules = "".join(f".p{i} {{ width: {i}em; }}\n" for i in range(1, 41))
    return ("/* print style sheet, served with Content-Encoding: zstd when the browser accepts it */\n"
            "body { background: white; color: black; }\nimg { display: none; }\n" + rules)


def _app_js() -> str:
    helpers = "".join(f"function helper{i}(x) {{ return x * {i} + {i * i}; }}\n" for i in range(1, 41))
    return ("// application script, served with Content-Encoding: br when the browser accepts it\n"
            "(function () {\n  var started = new Date();\n"
            "  document.addEventListener('DOMContentLoaded', function () {\n"
            "    document.body.setAttribute('data-started', started.toISOString());\n  });\n})();\n" + helpers)


def _big_js() -> str:
    functions = "".join(f"function f{i:03d}(x) {{ var s = 0; for (var i = 0; i < x; i++) {{ s += (i * {i + 1}) % 7; }}"
                        " bigTable.push(s); return s; }\n" for i in range(600))
    return ("// Generated filler script: large enough for the bytecode cache.\nvar bigTable = [];\n" + functions
            + "for (var k = 0; k < 600; k++) { window['f' + String(k).padStart(3, '0')](3); }\n")


def _notes_txt() -> str:
    lines = "".join(f"重复的行 repeated line {i}\n" for i in range(1, 21))
    return "第一行：deflate 编码的纯文本。\nSecond line, plain ASCII.\n" + lines


def build_site(port: int) -> dict[str, Resource]:
    """Path (decoded, without query) to resource. Queries select nothing:
    icon.png?v=2 is icon.png under a second URL."""

    def utf8(text: str) -> bytes:
        return text.encode("utf-8")

    html = "text/html; charset=utf-8"
    js = "application/javascript"
    icon = png_image(32, 32, lambda x, y: (8 * x, 8 * y, 255 - 4 * (x + y)))
    info = json.dumps({"name": "sample", "note": "served gzip-encoded as application/json",
                       "items": list(range(1, 21))}) + "\n"
    logo_palette = [(255 - 16 * i, 8 * i, 16 * i) for i in range(16)]
    site = {
        "/index.html": Resource(utf8(_page_index()), html),
        "/gbk.html": Resource(_page_gbk(), "text/html; charset=GBK"),
        "/upper.html": Resource(utf8(_page_upper()), html, "gzip"),
        "/sub/dir/page.html": Resource(utf8(_page_relative()), html, "br"),
        "/cross.html": Resource(utf8(_page_cross(port)), html),
        "/nostore.html": Resource(utf8(NOSTORE_PAGE), html, cache_control="no-store"),
        "/nocache.html": Resource(utf8(NOCACHE_PAGE), html, cache_control="no-cache"),
        "/css/style.css": Resource(utf8(_style_css()), "text/css", "gzip"),
        "/css/print.css": Resource(utf8(_print_css()), "text/css", "zstd"),
        "/js/app.js": Resource(utf8(_app_js()), js, "br"),
        "/js/plain.js": Resource(b"// plain script, no content coding\nwindow.plainLoaded = true;\n", js),
        "/js/big.js": Resource(utf8(_big_js()), js),
        "/sub/dir/local.js": Resource(b"// script referenced as ./local.js\nwindow.localLoaded = 1;\n", js),
        "/img/logo.gif": Resource(gif_image(64, 32, logo_palette, lambda x, y: (x // 4 + y // 8) % 16), "image/gif"),
        "/sub/shared.gif": Resource(gif_image(24, 24, [(0, 128, 0), (255, 255, 255)],
                                              lambda x, y: int(abs(x - 12) + abs(y - 12) < 9)), "image/gif"),
        "/img/icon.png": Resource(icon, "image/png"),
        "/img/图标.png": Resource(icon, "image/png"),
        "/sub/dir/local.png": Resource(png_image(24, 24, lambda x, y: (0, 128, 0) if (x // 6 + y // 6) % 2 else
                                                 (255, 255, 255)), "image/png"),
        "/img/photo.jpg": Resource(jpeg_image(320, 240, seed=1, detail=0.17), "image/jpeg"),
        "/big/photo-big.jpg": Resource(jpeg_image(880, 600, seed=2, detail=0.84), "image/jpeg"),
        "/media/tone.wav": Resource(wav_tone(), "audio/wav", ranges=True),
        "/text/readme.txt": Resource(utf8("Plain text file.\nLine two: 纯文本第二行\n"),
                                     "text/plain; charset=utf-8", chunked=True),
        "/text/notes.txt": Resource(utf8(_notes_txt()), "text/plain; charset=utf-8", "deflate"),
        "/data/info.json": Resource(utf8(info), "application/json", "gzip"),
    }
    for resource in site.values():
        if resource.coding and ENCODERS[resource.coding] is None:
            resource.coding = None
    return site


# --------------------------------------------------------------------------
# HTTP server
# --------------------------------------------------------------------------


class ServerLog:
    """What the server sent, one tab-separated line a response: time (UTC),
    method, host, path as requested, status, Accept-Encoding, Range, the
    coding sent, body bytes sent."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._lines: list[str] = []

    def add(self, *fields: object) -> None:
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%H:%M:%S")
        with self._lock:
            self._lines.append("\t".join([stamp] + [str(f) for f in fields]))

    def take(self) -> list[str]:
        with self._lock:
            lines, self._lines = self._lines, []
        return lines


class SiteHandler(http.server.BaseHTTPRequestHandler):
    """Serves server.site (path -> Resource). Knows a few routes of its own:
    a 301, a POST echo and 404 for everything else."""

    protocol_version = "HTTP/1.1"
    server: "SiteServer"

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002 - the base class's name
        pass  # the ServerLog keeps what matters

    def do_GET(self) -> None:
        self._answer(send_body=True)

    def do_HEAD(self) -> None:
        self._answer(send_body=False)

    def do_POST(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        posted = self.rfile.read(length).decode("latin-1")
        path = self.path.partition("?")[0]
        if path != "/post/echo":
            self._send_not_found(True)
            return
        body = ('<!DOCTYPE html><html><head><meta charset="utf-8"><title>POST result</title></head>'
                f"<body><p>posted: {posted}</p></body></html>").encode()
        self._send(200, [("Cache-Control", "private, max-age=3600"),
                         ("Content-Type", "text/html; charset=utf-8")], body, "identity", True)

    def _answer(self, send_body: bool) -> None:
        path = urllib.parse.unquote(self.path.partition("?")[0])
        if path == "/old.html":
            self._send(301, [("Cache-Control", "public, max-age=3600"), ("Location", "/index.html")], b"", "-",
                       send_body)
            return
        resource = self.server.site.get(path)
        if resource is None:
            self._send_not_found(send_body)
            return
        etag = f'"{len(resource.body):x}-{sum(resource.body):x}"'
        headers = [("Cache-Control", resource.cache_control)] if resource.cache_control else []
        if self.headers.get("If-None-Match") == etag:
            self._send(304, headers + [("ETag", etag)], b"", "-", False)
            return
        headers.append(("ETag", etag))
        if resource.ranges:
            headers.append(("Accept-Ranges", "bytes"))
        headers.append(("Content-Type", resource.content_type))
        accepted = [c.split(";")[0].strip() for c in (self.headers.get("Accept-Encoding") or "").split(",")]
        body, coding = resource.body, "identity"
        if resource.coding and resource.coding in accepted:
            body, coding = self.server.encoded(path, resource), resource.coding
            headers += [("Content-Encoding", coding), ("Vary", "Accept-Encoding")]
        elif resource.coding:
            headers.append(("Vary", "Accept-Encoding"))
        status = 200
        byte_range = self._byte_range(len(body)) if resource.ranges else None
        if byte_range is not None:
            first, last = byte_range
            headers.append(("Content-Range", f"bytes {first}-{last}/{len(body)}"))
            body, status = body[first:last + 1], 206
        self._send(status, headers, body, coding, send_body, chunked=resource.chunked)

    def _byte_range(self, size: int) -> tuple[int, int] | None:
        spec = self.headers.get("Range") or ""
        if not spec.startswith("bytes=") or "," in spec:
            return None
        first_text, _, last_text = spec[len("bytes="):].partition("-")
        try:
            if first_text:
                first = int(first_text)
                last = min(int(last_text), size - 1) if last_text else size - 1
            else:
                first, last = max(0, size - int(last_text)), size - 1
        except ValueError:
            return None
        return (first, last) if 0 <= first <= last else None

    def _send_not_found(self, send_body: bool) -> None:
        self._send(404, [("Content-Type", "text/plain")], NOT_FOUND_BODY, "-", send_body, dated=False)

    def _send(self, status: int, headers: list[tuple[str, str]], body: bytes, coding: str, send_body: bool,
              chunked: bool = False, dated: bool = True) -> None:
        self.send_response(status)
        if dated:
            self.send_header("Last-Modified", LAST_MODIFIED)
            self.send_header("Access-Control-Allow-Origin", "*")
        for name, value in headers:
            self.send_header(name, value)
        if chunked and status == 200:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if send_body and status not in (204, 304):
            if chunked and status == 200:
                half = len(body) // 2
                for piece in (body[:half], body[half:], b""):
                    self.wfile.write(f"{len(piece):x}\r\n".encode() + piece + b"\r\n")
            else:
                self.wfile.write(body)
        self.server.log.add(self.command, self.headers.get("Host", "-"), self.path, status,
                            self.headers.get("Accept-Encoding") or "-", self.headers.get("Range") or "-", coding,
                            len(body) if status != 304 else 0)


class SiteServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address: tuple[str, int], site: dict[str, Resource], log: ServerLog,
                 handler: type[http.server.BaseHTTPRequestHandler] = SiteHandler, family: int = socket.AF_INET):
        self.address_family = family
        super().__init__(address, handler)
        self.site = site
        self.log = log
        self._encoded: dict[str, bytes] = {}
        self._encoded_lock = threading.Lock()

    def get_request(self) -> tuple[socket.socket, object]:
        connection, address = super().get_request()
        # Headers and body go out as two writes; with Nagle's algorithm the
        # second waits for the browser's delayed ACK, some 40 ms a response.
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return connection, address

    def encoded(self, path: str, resource: Resource) -> bytes:
        with self._encoded_lock:
            if path not in self._encoded:
                self._encoded[path] = encode(resource.body, resource.coding or "identity")
            return self._encoded[path]


class LoopbackServers:
    """The site on 127.0.0.1 and, where the machine has it, on ::1 too, so
    that "localhost" answers whichever address a browser tries first."""

    def __init__(self, port: int, site: dict[str, Resource], log: ServerLog,
                 handler: type[http.server.BaseHTTPRequestHandler] = SiteHandler):
        self.servers = [SiteServer(("127.0.0.1", port), site, log, handler)]
        try:
            self.servers.append(SiteServer(("::1", port), site, log, handler, socket.AF_INET6))
        except OSError:
            pass  # no IPv6 loopback: browsers fall back to 127.0.0.1
        for server in self.servers:
            threading.Thread(target=server.serve_forever, daemon=True).start()

    def close(self) -> None:
        for server in self.servers:
            server.shutdown()
            server.server_close()


# --------------------------------------------------------------------------
# Browsers
# --------------------------------------------------------------------------


def new_output_folder(path: str) -> Path:
    """The folder a chromium-driving tool writes into: chromium must be installed, and the folder new or empty."""
    if shutil.which("chromium") is None:
        sys.exit("not installed: chromium (apt-get install chromium)")
    out = Path(path)
    if out.exists() and any(out.iterdir()):
        sys.exit(f"{out} is not empty; name a new folder")
    return out


def browser_environment(home: Path) -> dict[str, str]:
    """A throw-away home, so that profile and cache land where a user's would
    ($HOME/.config, $HOME/.cache) without touching anyone's real ones."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
    env["HOME"] = str(home)
    return env


def stop_process_group(process: subprocess.Popen) -> None:
    """Ends a browser started by this script (its own session) if it is still running."""
    if process.poll() is None:
        try:
            os.killpg(process.pid, 15)
            process.wait(timeout=10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            os.killpg(process.pid, 9)
            process.wait()


class DevToolsPipe:
    """Chromium's DevTools protocol over --remote-debugging-pipe: JSON
    messages ended by NUL, the browser reading fd 3 and writing fd 4."""

    def __init__(self, argv: list[str], env: dict[str, str], log_file) -> None:
        to_browser_read, self._to_browser = os.pipe()
        self._from_browser, from_browser_write = os.pipe()
        # Moved above 9 so that the shell's "3<&N 4>&M" cannot clobber one with the other.
        high_read = fcntl_dup_high(to_browser_read)
        high_write = fcntl_dup_high(from_browser_write)
        script = f'exec "$@" 3<&{high_read} 4>&{high_write} {high_read}<&- {high_write}>&-'
        self.process = subprocess.Popen(["bash", "-c", script, "chromium-pipe", *argv], env=env,
                                        pass_fds=(high_read, high_write), stdin=subprocess.DEVNULL,
                                        stdout=log_file, stderr=log_file, start_new_session=True)
        for fd in (high_read, high_write):
            os.close(fd)
        self._next_id = 0
        self._replies: dict[int, dict] = {}
        self.events: list[tuple[float, dict]] = []
        self._condition = threading.Condition()
        self._closed = False
        self._reader = threading.Thread(target=self._read_loop, daemon=True)
        self._reader.start()

    def _read_loop(self) -> None:
        pending = b""
        while True:
            chunk = os.read(self._from_browser, 1 << 16)
            if not chunk:
                break
            pending += chunk
            *messages, pending = pending.split(b"\0")
            with self._condition:
                for raw in messages:
                    message = json.loads(raw)
                    if "id" in message:
                        self._replies[message["id"]] = message
                    else:
                        self.events.append((time.monotonic(), message))
                self._condition.notify_all()
        with self._condition:
            self._closed = True
            self._condition.notify_all()

    def call(self, method: str, params: dict | None = None, session: str | None = None,
             timeout: float = BROWSER_TIMEOUT) -> dict:
        with self._condition:
            self._next_id += 1
            call_id = self._next_id
        message = {"id": call_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        with self._condition:
            if not self._condition.wait_for(lambda: call_id in self._replies or self._closed, timeout):
                raise TimeoutError(f"{method}: no answer from chromium")
            reply = self._replies.pop(call_id, None)
        if reply is None:
            raise RuntimeError(f"{method}: chromium closed the pipe")
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']}")
        return reply.get("result", {})

    def close(self) -> None:
        """After the browser has gone: its end of the pipe is closed, so the reader stops."""
        self._reader.join(timeout=10)
        os.close(self._to_browser)
        os.close(self._from_browser)

    def mark(self) -> int:
        with self._condition:
            return len(self.events)

    def wait_event(self, method: str, session: str, since: int, timeout: float = BROWSER_TIMEOUT) -> dict:
        def found() -> dict | None:
            for _, event in self.events[since:]:
                if event.get("method") == method and event.get("sessionId") == session:
                    return event
            return None

        with self._condition:
            if not self._condition.wait_for(lambda: found() is not None or self._closed, timeout):
                raise TimeoutError(f"chromium sent no {method}")
            event = found()
        if event is None:
            raise RuntimeError("chromium closed the pipe")
        return event

    def wait_network_idle(self, session: str, since: int, quiet: float = 0.8, limit: float = 15.0) -> None:
        """Returns once no request of the page is open and none has started for
        `quiet` seconds, or after `limit` seconds (a media element may keep
        its connection open)."""
        start = time.monotonic()
        while time.monotonic() - start < limit:
            with self._condition:
                open_requests: set[str] = set()
                last_activity = start
                for stamp, event in self.events[since:]:
                    method = event.get("method", "")
                    if event.get("sessionId") != session or not method.startswith("Network."):
                        continue
                    request = event["params"].get("requestId")
                    if method == "Network.requestWillBeSent":
                        open_requests.add(request)
                    elif method in ("Network.loadingFinished", "Network.loadingFailed"):
                        open_requests.discard(request)
                    elif method == "Network.responseReceived" and event["params"].get("type") == "Document":
                        # A frame from another site loads in a process of its own;
                        # its end is reported there, not here.
                        open_requests.discard(request)
                    last_activity = max(last_activity, stamp)
            if not open_requests and time.monotonic() - last_activity >= quiet:
                return
            time.sleep(0.1)


def fcntl_dup_high(fd: int) -> int:
    high = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return high


class ChromiumSession:
    """Headless chromium with a throw-away home and user data folder, driven
    over the DevTools pipe. The cache lands in
    $HOME/.cache/chromium/Default/Cache/Cache_Data, as for a real user."""

    FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--remote-debugging-pipe"]

    def __init__(self, home: Path, extra_flags: list[str], watch_network: bool = True) -> None:
        self.home = home
        self._log_file = open(home / "chromium.log", "wb")
        argv = ["chromium", *self.FLAGS, f"--user-data-dir={home / '.config' / 'chromium'}", *extra_flags,
                "about:blank"]
        self.devtools = DevToolsPipe(argv, browser_environment(home), self._log_file)
        targets = self.devtools.call("Target.getTargets")["targetInfos"]
        pages = [t["targetId"] for t in targets if t["type"] == "page"]
        target = pages[0] if pages else self.devtools.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.devtools.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        # Network events let a visit wait for late loads; a run of thousands
        # of requests goes without them.
        for domain in ("Page.enable", "Runtime.enable") + (("Network.enable",) if watch_network else ()):
            self.devtools.call(domain, session=self.session)

    def evaluate(self, expression: str) -> object:
        result = self.devtools.call("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                                    session=self.session)
        return result.get("result", {}).get("value")

    def visit(self, url: str, quiet: float = 0.8) -> str:
        """Loads url as if typed into the address bar; returns the page title."""
        return self._load(lambda: self.devtools.call("Page.navigate", {"url": url}, session=self.session), quiet)

    def run_in_page(self, script: str, leaves: str, quiet: float = 0.8) -> str:
        """Runs a script that navigates away from the URL `leaves` (a link
        followed, a form sent) and waits for the new page."""
        return self._load(lambda: self.evaluate(script), quiet)

    def _load(self, start: Callable[[], object], quiet: float) -> str:
        mark = self.devtools.mark()
        start()
        self.devtools.wait_event("Page.loadEventFired", self.session, mark)
        self.devtools.wait_network_idle(self.session, mark, quiet)
        return str(self.evaluate("document.title") or "")

    def close(self) -> None:
        """Quits the way a user would, so the cache writes its index."""
        try:
            self.devtools.call("Browser.close", timeout=30)
        except (RuntimeError, TimeoutError):
            pass
        try:
            self.devtools.process.wait(timeout=BROWSER_TIMEOUT)
        except subprocess.TimeoutExpired:
            pass
        stop_process_group(self.devtools.process)
        self.devtools.close()
        self._log_file.close()

    def cache_folder(self) -> Path:
        return self.home / ".cache" / "chromium" / "Default" / "Cache" / "Cache_Data"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Marionette:
    """Firefox's remote protocol: "<length>:<json>" frames over TCP,
    commands [0, id, name, params], answers [1, id, error, result]."""

    def __init__(self, port: int, process: subprocess.Popen, timeout: float = BROWSER_TIMEOUT) -> None:
        deadline = time.monotonic() + timeout
        while True:
            try:
                self._socket = socket.create_connection(("127.0.0.1", port), timeout=timeout)
                break
            except OSError:
                if process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("firefox-esr did not open its Marionette port")
                time.sleep(0.3)
        self._reader = self._socket.makefile("rb")
        self._read()  # greeting
        self._next_id = 0

    def _read(self) -> object:
        length = b""
        while (char := self._reader.read(1)) != b":":
            if not char:
                raise RuntimeError("firefox-esr closed the Marionette connection")
            length += char
        return json.loads(self._reader.read(int(length)))

    def call(self, name: str, params: dict | None = None) -> object:
        self._next_id += 1
        data = json.dumps([0, self._next_id, name, params or {}]).encode()
        self._socket.sendall(str(len(data)).encode() + b":" + data)
        while True:
            message = self._read()
            if isinstance(message, list) and message[0] == 1 and message[1] == self._next_id:
                if message[2]:
                    raise RuntimeError(f"{name}: {message[2]}")
                result = message[3]
                return result.get("value") if isinstance(result, dict) and "value" in result else result

    def close(self) -> None:
        self._reader.close()
        self._socket.close()


FIREFOX_PREFS = {
    # The disk cache, used and kept: no size guess from the free space, no
    # racing of cache against network.
    "browser.cache.disk.enable": True,
    "browser.cache.disk.smart_size.enabled": False,
    "browser.cache.disk.capacity": 262144,
    "network.http.rcwn.enabled": False,
    # A short first session would otherwise end without an index file:
    # Firefox writes it only after many changes or a long interval.
    "browser.cache.disk.index.min_dump_interval_ms": 1000,
    "browser.cache.disk.index.min_unwritten_changes": 1,
    "browser.cache.disk.index.update_start_delay_ms": 100,
    # Quiet: nothing but the local site. Loopback never goes through the
    # (dead) proxy, everything else fails at once.
    "network.proxy.type": 1,
    "network.proxy.http": "127.0.0.1",
    "network.proxy.http_port": 9,
    "network.proxy.ssl": "127.0.0.1",
    "network.proxy.ssl_port": 9,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.startup.page": 0,
    "browser.newtabpage.enabled": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.downloads.enabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "datareporting.healthreport.uploadEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "app.update.disabledForTesting": True,
    "extensions.update.enabled": False,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
}


class FirefoxSession:
    """Headless firefox-esr with a profile made in a throw-away home
    (-CreateProfile), so the cache lands in
    $HOME/.cache/mozilla/firefox/<profile>/cache2, driven over Marionette."""

    def __init__(self, home: Path, extra_args: list[str] | None = None) -> None:
        self.home = home
        env = browser_environment(home)
        subprocess.run(["firefox-esr", "--headless", "-CreateProfile", "sample"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=BROWSER_TIMEOUT)
        self.profiles_ini, self.profile = self._find_profile()
        port = free_port()
        prefs = dict(FIREFOX_PREFS, **{"marionette.port": port})
        with open(self.profile / "user.js", "w") as user_js:
            for name, value in prefs.items():
                user_js.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
        self._log_file = open(home / "firefox.log", "wb")
        self.process = subprocess.Popen(["firefox-esr", "--headless", "--marionette", "--no-remote", "-P", "sample",
                                         *(extra_args or [])],
                                        env=env, stdin=subprocess.DEVNULL, stdout=self._log_file,
                                        stderr=self._log_file, start_new_session=True)
        self.marionette = Marionette(port, self.process)
        self.marionette.call("WebDriver:NewSession", {"capabilities": {"alwaysMatch": {"pageLoadStrategy": "normal"}}})

    def _find_profile(self) -> tuple[Path, Path]:
        for root in (self.home / ".mozilla" / "firefox", self.home / ".config" / "mozilla" / "firefox"):
            ini_path = root / "profiles.ini"
            if not ini_path.is_file():
                continue
            ini = configparser.ConfigParser()
            ini.read(ini_path)
            for section in ini.sections():
                if ini[section].get("Name") == "sample":
                    path = Path(ini[section]["Path"])
                    return ini_path, (root / path if ini[section].get("IsRelative", "1") == "1" else path)
        raise RuntimeError("firefox-esr made no profile")

    def visit(self, url: str, settle: float = 1.5) -> str:
        self.marionette.call("WebDriver:Navigate", {"url": url})
        time.sleep(settle)  # late loads: the favicon, media, fetch() calls
        return str(self.marionette.call("WebDriver:GetTitle") or "")

    def run_in_page(self, script: str, leaves: str, settle: float = 1.5) -> str:
        """Runs a script that navigates away from the URL `leaves`, and waits for the next page."""
        self.marionette.call("WebDriver:ExecuteScript", {"script": script, "args": []})
        deadline = time.monotonic() + BROWSER_TIMEOUT
        while time.monotonic() < deadline:
            ready = self.marionette.call("WebDriver:ExecuteScript", {"script": "return document.readyState;"})
            if self.marionette.call("WebDriver:GetCurrentURL") != leaves and ready == "complete":
                break
            time.sleep(0.2)
        time.sleep(settle)
        return str(self.marionette.call("WebDriver:GetTitle") or "")

    def close(self) -> None:
        """Quits cleanly: Firefox writes its cache index at shutdown."""
        try:
            self.marionette.call("Marionette:Quit")
        except (RuntimeError, OSError):
            pass
        self.marionette.close()
        try:
            self.process.wait(timeout=BROWSER_TIMEOUT)
        except subprocess.TimeoutExpired:
            pass
        stop_process_group(self.process)
        self._log_file.close()

    def cache_folder(self) -> Path:
        return self.home / ".cache" / "mozilla" / "firefox" / self.profile.name / "cache2"

    def layout(self) -> str:
        def rel(path: Path) -> str:
            return str(path.relative_to(self.home)) if path.is_relative_to(self.home) else str(path)

        return (f"profiles.ini:  {rel(self.profiles_ini)}\nprofile:       {rel(self.profile)}\n"
                f"cache folder:  {rel(self.cache_folder())}\n")


# --------------------------------------------------------------------------
# The visits
# --------------------------------------------------------------------------


def drive(browser, base: str, cross_base: str, log: list[str]) -> None:
    """The same walk for every browser: pages that reference everything,
    a redirect, pages that must not or need not be stored, plain files, a
    second site that embeds the first (a second cache partition, a frame),
    a navigation started from that second site, a form POST, and a revisit
    a few seconds later (a newer last-used time)."""

    def visit(path: str) -> None:
        title = browser.visit(base + path)
        log.append(f"visited {base}{path} title={title!r}")

    for path in ("/index.html", "/gbk.html", "/upper.html", "/sub/dir/page.html", "/old.html", "/nostore.html",
                 "/nocache.html", "/text/readme.txt", "/text/notes.txt", "/data/info.json"):
        visit(path)
    title = browser.visit(cross_base + "/cross.html")
    log.append(f"visited {cross_base}/cross.html title={title!r}")
    target = base + "/text/readme.txt?via=cross-site-link"
    browser.run_in_page(f"location.href = {json.dumps(target)};", cross_base + "/cross.html")
    log.append(f"navigated from {cross_base} to {target}")
    visit("/nocache.html")
    title = browser.run_in_page("document.forms[0].submit();", base + "/nocache.html")
    log.append(f"submitted the form of {base}/nocache.html title={title!r}")
    time.sleep(3)
    browser.visit(base + "/gbk.html")
    log.append(f"revisited {base}/gbk.html")


# --------------------------------------------------------------------------
# Reading the caches back, for listing.txt
# --------------------------------------------------------------------------


@dataclass
class CacheEntry:
    url: str
    key: str
    status: str
    stored: int
    decoded: int | None
    content_type: str
    encoding: str
    last_used: float | None
    notes: list[str] = field(default_factory=list)


def parse_head(lines: list[str]) -> tuple[str, dict[str, str]]:
    """Status code and headers (lower-case names, first value kept)."""
    status_line = lines[0] if lines else ""
    parts = status_line.split(" ", 2)
    headers: dict[str, str] = {}
    for line in lines[1:]:
        name, sep, value = line.partition(":")
        if sep:
            headers.setdefault(name.strip().lower(), value.strip())
    return (parts[1] if len(parts) > 1 else "?"), headers


def url_of_chromium_key(key: str) -> str:
    """"<credential>/<upload id>/[_dk_<sites> ]<url>", or a bare URL in old caches."""
    if key.startswith(("http://", "https://")):
        return key
    rest = key.split("/", 2)[-1]
    return rest.rsplit(" ", 1)[-1] if rest.startswith("_dk_") else rest


def chromium_head(stream0: bytes) -> list[str]:
    """The raw header block from the response-info pickle of stream 0."""
    payload = stream0[4:]
    flags = struct.unpack_from("<I", payload, 0)[0]
    offset = 4
    extra = 0
    if flags & (1 << 31):
        extra = struct.unpack_from("<I", payload, offset)[0]
        offset += 4
    offset += 16  # request and response times
    if extra & 4:
        offset += 8  # original response time
    length = struct.unpack_from("<I", payload, offset)[0]
    raw = payload[offset + 4:offset + 4 + length]
    return [line.decode("latin-1") for line in raw.split(b"\0") if line]


def chromium_time(value: int) -> float:
    return (value - 11644473600000000) / 1e6


def _entry_from_parts(url: str, key: str, head: list[str], body: bytes, last_used: float | None,
                      sparse_size: int | None = None) -> CacheEntry:
    status, headers = parse_head(head)
    encoding = headers.get("content-encoding", "-")
    stored = len(body) if sparse_size is None else sparse_size
    decoded: int | None = stored
    if encoding != "-" and sparse_size is None:
        plain = decode(body, encoding)
        decoded = None if plain is None else len(plain)
    return CacheEntry(url, key, status, stored, decoded, headers.get("content-type", "-"), encoding, last_used)


def simple_entry_parts(data: bytes) -> tuple[str, bytes, bytes]:
    """Key, stream 0 and body of a simple cache's "<hash>_0" file."""
    key_length = struct.unpack_from("<I", data, 12)[0]
    key = data[24:24 + key_length].decode("latin-1")
    flags, _, stream0_size = struct.unpack_from("<IIi", data, len(data) - 16)
    digest = 32 if flags & 2 else 0
    stream0 = data[len(data) - 24 - digest - stream0_size:len(data) - 24 - digest]
    body_size = len(data) - 24 - key_length - 24 - stream0_size - digest - 24
    return key, stream0, data[24 + key_length:24 + key_length + body_size]


def read_simple_cache(folder: Path) -> list[CacheEntry]:
    last_used: dict[int, float] = {}
    index = folder / "index-dir" / "the-real-index"
    if index.is_file():
        data = index.read_bytes()
        count = struct.unpack_from("<Q", data, 20)[0]
        for i in range(count):
            entry_hash, used, _ = struct.unpack_from("<QqQ", data, 40 + 24 * i)
            last_used[entry_hash] = chromium_time(used)
    entries = []
    for path in sorted(folder.glob("*_0")):
        key, stream0, body = simple_entry_parts(path.read_bytes())
        sparse_size = None
        sparse = path.with_name(path.name[:-2] + "_s")
        if sparse.is_file():
            sparse_data = sparse.read_bytes()
            offset = 24 + struct.unpack_from("<I", sparse_data, 12)[0]
            ranges = []
            while offset + 32 <= len(sparse_data):
                _, start, length = struct.unpack_from("<Qqq", sparse_data, offset)
                ranges.append((start, length))
                offset += 32 + length
            sparse_size = sum(length for _, length in ranges)
        entry_hash = int(path.name[:16], 16)
        used = last_used.get(entry_hash, path.stat().st_mtime)
        entry = _entry_from_parts(url_of_chromium_key(key), key, chromium_head(stream0), body, used, sparse_size)
        if sparse_size is not None:
            entry.notes.append(f"sparse ranges {sorted(ranges)}")
        if entry_hash not in last_used:
            entry.notes.append("not in index: file time")
        entries.append(entry)
    return entries


def read_blockfile_cache(folder: Path) -> list[CacheEntry]:
    files: dict[str, bytes] = {}

    def load(name: str) -> bytes:
        if name not in files:
            files[name] = (folder / name).read_bytes()
        return files[name]

    def block(address: int) -> bytes:
        kind = (address >> 28) & 7
        if kind == 0:
            return load(f"f_{address & 0x0FFFFFFF:06x}")
        size = {1: 36, 2: 256, 3: 1024, 4: 4096}[kind]
        start = 8192 + (address & 0xFFFF) * size
        return load(f"data_{(address >> 16) & 0xFF}")[start:start + (((address >> 24) & 3) + 1) * size]

    index = load("index")
    table_length = struct.unpack_from("<I", index, 28)[0] or 65536
    stores = []
    for bucket in range(table_length):
        address = struct.unpack_from("<I", index, 368 + 4 * bucket)[0]
        seen = set()
        while address & 0x80000000 and address not in seen:
            seen.add(address)
            store = block(address)
            stores.append(store)
            address = struct.unpack_from("<I", store, 4)[0]
    parsed = []
    for store in stores:
        rankings, key_length, long_key = struct.unpack_from("<I", store, 8)[0], *struct.unpack_from("<iI", store, 32)
        sizes = struct.unpack_from("<4i", store, 40)
        addresses = struct.unpack_from("<4I", store, 56)
        key_bytes = block(long_key)[:key_length] if long_key else store[96:96 + key_length]
        used = chromium_time(struct.unpack_from("<Q", block(rankings), 0)[0]) if rankings & 0x80000000 else None
        streams = [block(addresses[i])[:sizes[i]] if addresses[i] & 0x80000000 else b"" for i in range(2)]
        parsed.append((key_bytes.decode("latin-1"), streams, used, struct.unpack_from("<I", store, 72)[0]))
    entries = []
    for key, (stream0, body), used, flags in parsed:
        if key.startswith("Range_"):
            continue  # sparse children: counted with their parent
        sparse_size = None
        if flags & 1:
            children = [s[1] for k, s, _, _ in parsed if k.startswith(f"Range_{key}:")]
            sparse_size = sum(len(child) for child in children)
        entry = _entry_from_parts(url_of_chromium_key(key), key, chromium_head(stream0) if stream0 else [], body,
                                  used, sparse_size)
        if sparse_size is not None:
            entry.notes.append(f"sparse children {len(children)}")
        entries.append(entry)
    return entries


def read_firefox_cache(folder: Path) -> list[CacheEntry]:
    entries = []
    for path in sorted((folder / "entries").iterdir()):
        data = path.read_bytes()
        data_size = struct.unpack(">I", data[-4:])[0] & 0x7FFFFFFF
        header = data_size + 4 + 2 * ((data_size + 262143) // 262144)
        fields = struct.unpack_from(">8I", data, header)
        key = data[header + 32:header + 32 + fields[6]].decode("latin-1")
        items = data[header + 32 + fields[6] + 1:len(data) - 8].split(b"\0")
        elements = dict(zip(items[0::2], items[1::2]))
        body = data[:data_size]
        notes = [f"fetched {fields[1]}x"]
        if b"alt-data" in elements:
            offset = int(elements[b"alt-data"].split(b";")[1].split(b",")[0])
            body = data[:offset]
            notes.append(f"alt-data {data_size - offset} bytes")
        url = key[key.index(":") + 1:] if key.startswith(":") else key[key.index(",:") + 2:]
        head = elements.get(b"response-head", b"").decode("latin-1").split("\r\n")
        entry = _entry_from_parts(url, key, [line for line in head if line], body, float(fields[2]))
        entry.notes += notes
        entries.append(entry)
    return entries


def write_listing(entries: list[CacheEntry], path: Path) -> None:
    def stamp(value: float | None) -> str:
        if value is None:
            return "-"
        return datetime.datetime.fromtimestamp(value, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")

    with open(path, "w", encoding="utf-8") as listing:
        listing.write("# url\tstatus\tstored\tdecoded\tcontent-type\tencoding\tlast-used (UTC)\tkey\tnotes\n")
        for e in sorted(entries, key=lambda e: (e.url, e.key)):
            decoded = "-" if e.decoded is None else str(e.decoded)
            listing.write(f"{e.url}\t{e.status}\t{e.stored}\t{decoded}\t{e.content_type}\t{e.encoding}\t"
                          f"{stamp(e.last_used)}\t{e.key}\t{'; '.join(e.notes)}\n")


# --------------------------------------------------------------------------
# Runs
# --------------------------------------------------------------------------


@dataclass
class Run:
    name: str  # folder below OUT
    cache_name: str  # Cache_Data or cache2
    reader: Callable[[Path], list[CacheEntry]]
    chromium_flags: list[str] | None  # None: firefox


# 100 MB keeps the blockfile index at 256 KB instead of 2 MB; it changes
# nothing else for caches this small.
CACHE_SIZE_FLAG = "--disk-cache-size=104857600"
RUNS = {
    "chromium": Run("chromium/simple", "Cache_Data", read_simple_cache, [CACHE_SIZE_FLAG]),
    "blockfile": Run("chromium/blockfile", "Cache_Data", read_blockfile_cache,
                     [CACHE_SIZE_FLAG, "--enable-features=DiskCacheBackendExperiment:backend/blockfile"]),
    "firefox": Run("firefox", "cache2", read_firefox_cache, None),
}


def expected_urls(server_lines: list[str]) -> set[str]:
    """URLs the browser got a storable whole response for, by the server's log."""
    urls = set()
    uncached = {"/nostore.html", "/post/echo", "/old.html"}
    for line in server_lines:
        _, method, host, path, status, *_ = line.split("\t")
        if method == "GET" and status in ("200", "206") and path.partition("?")[0] not in uncached:
            urls.add(f"http://{host}{path}")
    return urls


def run_browser(run: Run, port: int, log: ServerLog, destination: Path) -> str:
    base, cross_base = f"http://127.0.0.1:{port}", f"http://localhost:{port}"
    log.take()  # whatever an earlier, failed run left
    with tempfile.TemporaryDirectory(prefix="webgleaner-browser-home-") as home_name:
        home = Path(home_name)
        browser: ChromiumSession | FirefoxSession
        browser = ChromiumSession(home, run.chromium_flags) if run.chromium_flags is not None else FirefoxSession(home)
        drive_log: list[str] = []
        try:
            drive(browser, base, cross_base, drive_log)
        finally:
            browser.close()
        time.sleep(0.5)  # the last log lines of connections still closing
        server_lines = log.take()
        cache = browser.cache_folder()
        if not cache.is_dir():
            raise RuntimeError(f"{run.name}: the browser wrote no cache at {cache}")
        if destination.exists():
            shutil.rmtree(destination)
        destination.mkdir(parents=True)
        shutil.copytree(cache, destination / run.cache_name)
        if isinstance(browser, FirefoxSession):
            (destination / "layout.txt").write_text(browser.layout())
    (destination / "server.log").write_text("\n".join(server_lines) + "\n", encoding="utf-8")
    (destination / "drive.log").write_text("\n".join(drive_log) + "\n", encoding="utf-8")
    entries = run.reader(destination / run.cache_name)
    write_listing(entries, destination / "listing.txt")
    size = sum(p.stat().st_size for p in (destination / run.cache_name).rglob("*") if p.is_file())
    urls = {e.url for e in entries}
    missing = sorted(expected_urls(server_lines) - urls)
    summary = (f"{run.name:20} {len(entries):3} entries, {len(urls):3} URLs, {size / 1e6:5.2f} MB  "
               f"{destination / run.cache_name}")
    if missing:
        summary += "\n" + "".join(f"{'':21}fetched but not stored: {url}\n" for url in missing).rstrip()
    return summary


def output_folder(args: argparse.Namespace) -> Path:
    if args.into:
        return Path(args.into)
    if args.out:
        out = Path(args.out)
        if out.exists() and any(out.iterdir()):
            sys.exit(f"{out} is not empty; name a new folder, or use --into to replace the caches in it")
        return out
    return Path(tempfile.mkdtemp(prefix="webgleaner-fixtures-"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", nargs="?", help="new or empty folder for the caches (default: a new folder in /tmp)")
    parser.add_argument("--into", metavar="DIR",
                        help="write into DIR even if it has content, replacing only the cache folders made here")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT,
                        help=f"port of the site (default {DEFAULT_PORT}; it is part of every cache key)")
    parser.add_argument("--browsers", default="chromium,blockfile,firefox",
                        help="comma-separated runs: chromium (simple cache), blockfile, firefox")
    args = parser.parse_args()
    if args.out and args.into:
        parser.error("give either OUT or --into, not both")
    runs = [name.strip() for name in args.browsers.split(",") if name.strip()]
    unknown = [name for name in runs if name not in RUNS]
    if unknown:
        parser.error(f"unknown browser run: {', '.join(unknown)}")
    needed = {"firefox-esr" if name == "firefox" else "chromium" for name in runs}
    absent = [tool for tool in sorted(needed) if shutil.which(tool) is None]
    if absent:
        sys.exit(f"not installed: {', '.join(absent)} (apt-get install {' '.join(absent)})")
    for coding in missing_encoders():
        tool = {"br": "brotli", "zstd": "zstd"}[coding]
        print(f"note: `{tool}` not found; files meant to be {coding}-encoded are served identity-encoded "
              f"(apt-get install {tool})", file=sys.stderr)

    out = output_folder(args)
    out.mkdir(parents=True, exist_ok=True)
    log = ServerLog()
    servers = LoopbackServers(args.port, build_site(args.port), log)
    summaries = []
    try:
        for name in runs:
            started = time.monotonic()
            print(f"{name}: visiting the site ...", flush=True)
            summary = run_browser(RUNS[name], args.port, log, out / RUNS[name].name)
            summaries.append(f"{summary}\n{'':21}({time.monotonic() - started:.0f} s)")
    finally:
        servers.close()
    print(f"\ncaches in {out}:")
    print("\n".join(summaries))


if __name__ == "__main__":
    main()
