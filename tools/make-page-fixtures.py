#!/usr/bin/env python3
"""Make a small Chromium cache of pages that use every way of referencing a
resource, with what the live pages showed, for the archive tests.

Serves a generated site on 127.0.0.1: forms.html (pictures by <img> in many
spellings, srcset, <picture>, body background, video poster, image button,
<object>, icon link, an SVG with a fragment, style sheets with @import,
url() backgrounds and a web font, a style block, a style attribute, a
picture with a misleading extension, one no-store picture and a frame),
frame.html (the frame) and gbk.html (GBK, the charset only in the HTTP
header). Debian's headless chromium visits the pages with a throw-away home
(simple cache backend), waits until everything has loaded, reads back what
the pages showed and quits cleanly. The output:

    OUT/Cache_Data      the cache folder as chromium wrote it
    OUT/listing.txt     one line an entry: URL, status, sizes, Content-Type ...
    OUT/expected.json   per page: pictures, computed styles, frame text,
                        references that are not in the cache

The run fails, writing no expected.json but the server's log (server.log),
when the live page showed something other than the site was made to show,
or when the cache lacks a resource the page loaded.

Needs python3 (standard library only) and chromium. The web font is made
with fontTools (python3-fonttools, python3-brotli for WOFF2) run by
whichever python has it; without it the font files are left out and the
run says so. The WebP picture is encoded by chromium itself (a canvas).
Uses the server and browser plumbing of make-cache-fixtures.py.
"""

from __future__ import annotations

import argparse
import base64
import importlib.util
import json
import shutil
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

Resource = fixtures.Resource

DEFAULT_PORT = 18437
FRAME_TEXT = "框架文字 frame text"
FONT_FAMILY = "Tiny"


# --------------------------------------------------------------------------
# Pictures: each of its own natural size, so a test can tell them apart.
# --------------------------------------------------------------------------


def png(width: int, height: int, shade: int) -> bytes:
    return fixtures.png_image(width, height, lambda x, y: ((x * 9 + shade) % 256, (y * 7) % 256, shade))


def gif(width: int, height: int, shade: int) -> bytes:
    palette = [((shade + 40 * i) % 256, (60 * i) % 256, (255 - 30 * i) % 256) for i in range(4)]
    return fixtures.gif_image(width, height, palette, lambda x, y: (x // 3 + y // 3) % 4)


def jpeg(width: int, height: int, seed: int) -> bytes:
    return fixtures.jpeg_image(width, height, seed=seed, detail=0.1)


def svg(width: int, height: int, colour: str, views: bool = False) -> bytes:
    view = (f'<view id="v1" viewBox="0 0 {width} {height}"/>'
            f'<view id="v2" viewBox="0 0 {width // 2} {height // 2}"/>') if views else ""
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}">{view}<rect width="{width}" height="{height}" fill="{colour}"/>'
            f'<circle cx="{width // 2}" cy="{height // 2}" r="{min(width, height) // 3}" fill="white"/></svg>\n'
            ).encode()


def ico(width: int, height: int) -> bytes:
    """A Windows icon holding one PNG picture."""
    picture = png(width, height, 200)
    return (b"\0\0\1\0\1\0" + bytes([width, height, 0, 0]) + (1).to_bytes(2, "little")
            + (32).to_bytes(2, "little") + len(picture).to_bytes(4, "little") + (22).to_bytes(4, "little")
            + picture)


WEBP_SCRIPT = """(() => {
  const canvas = document.createElement('canvas');
  canvas.width = %d; canvas.height = %d;
  const context = canvas.getContext('2d');
  context.fillStyle = 'rgb(30, 140, 90)'; context.fillRect(0, 0, canvas.width, canvas.height);
  context.fillStyle = 'rgb(250, 220, 40)'; context.fillRect(4, 4, canvas.width - 8, canvas.height - 8);
  return canvas.toDataURL('image/webp', 0.9);
})()"""


def webp(width: int, height: int) -> bytes | None:
    """Encoded by chromium's canvas, in a browser of its own (no cache of the
    fixture is touched); None when chromium does not encode WebP."""
    with tempfile.TemporaryDirectory(prefix="webgleaner-webp-home-") as home_name:
        browser = fixtures.ChromiumSession(Path(home_name), [], watch_network=False)
        try:
            url = str(browser.evaluate(WEBP_SCRIPT % (width, height)) or "")
        finally:
            browser.close()
    prefix = "data:image/webp;base64,"
    return base64.b64decode(url[len(prefix):]) if url.startswith(prefix) else None


FONT_SCRIPT = """
import sys
from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

def box(size):
    pen = TTGlyphPen(None)
    pen.moveTo((100, 0)); pen.lineTo((100, size)); pen.lineTo((size, size)); pen.lineTo((size, 0))
    pen.closePath()
    return pen.glyph()

builder = FontBuilder(1000, isTTF=True)
builder.setupGlyphOrder([".notdef", "space", "A"])
builder.setupCharacterMap({0x20: "space", 0x41: "A"})
builder.setupGlyf({".notdef": box(500), "space": TTGlyphPen(None).glyph(), "A": box(700)})
builder.setupHorizontalMetrics({".notdef": (600, 100), "space": (300, 0), "A": (800, 100)})
builder.setupHorizontalHeader(ascent=800, descent=-200)
builder.setupNameTable({"familyName": "Tiny", "styleName": "Regular"})
builder.setupOS2(sTypoAscender=800, sTypoDescender=-200, usWinAscent=800, usWinDescent=200)
builder.setupPost()
for flavor in ("woff", "woff2"):
    builder.font.flavor = flavor
    builder.save(f"{sys.argv[1]}/font.{flavor}")
"""


def fonts() -> dict[str, bytes]:
    """font.woff and font.woff2 of a font with one visible glyph (A), or
    nothing when no python at hand has fontTools and brotli."""
    with tempfile.TemporaryDirectory(prefix="webgleaner-font-") as folder:
        for python in dict.fromkeys([sys.executable, "/usr/bin/python3"]):
            if not Path(python).exists():
                continue
            done = subprocess.run([python, "-c", FONT_SCRIPT, folder], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
            if done.returncode == 0:
                return {name: (Path(folder) / name).read_bytes() for name in ("font.woff", "font.woff2")}
    return {}


# --------------------------------------------------------------------------
# The site
# --------------------------------------------------------------------------

# Pictures of forms.html: element id, the reference form, the path the page
# shows, its kind and natural size. "srcset" and "picture-img" show
# whichever candidate chromium picks; it is read from the live page.
PICTURES = [
    ("a", "img src, double quotes", "/a.png", "png", 10, 11),
    ("q", "img src, single quotes", "/q.gif", "gif", 12, 13),
    ("m", "IMG Src, mixed case", "/m.gif", "gif", 14, 15),
    ("split", "img tag split over lines", "/split.jpg", "jpeg", 16, 17),
    ("srcset", "img srcset 1x, 2x with src", None, None, None, None),
    ("picture-img", "picture source type=image/webp, img src", None, None, None, None),
    ("body", "body background", "/bg.gif", "gif", 28, 29),
    ("poster", "video poster", "/poster.png", "png", 30, 31),
    ("btn", "input type=image src", "/btn.png", "png", 32, 33),
    ("obj", "object data type=image/svg+xml", "/obj.svg", "svg", 34, 35),
    ("chart", "img src with a fragment", "/chart.svg#v2", "svg", 36, 37),
    ("inline-bg", "style block url()", "/inline-bg.png", "png", 38, 39),
    ("attr-bg", "style attribute url('')", "/attr-bg.png", "png", 40, 41),
    ("sprite", "linked sheet url()", "/sprite.png", "png", 44, 45),
    ("deep", "imported sheet url(../)", "/img/deep.png", "png", 46, 47),
    ("dat", "img src, misleading extension", "/pic.dat", "png", 52, 53),
    ("never", "img src, no-store", "/never-cached.png", "png", 42, 43),
]
CANDIDATES = {
    "srcset": [("/s0.png", 18, 19), ("/s1.png", 20, 21), ("/s2.png", 22, 23)],
    "picture-img": [("/p.webp", 24, 25), ("/p.png", 26, 27)],
}
FAVICON = ("/favicon.ico", 54, 55)
FRAME_PICTURE = ("frame-pic", "img src in a frame", "/frame-pic.png", 48, 49)
GBK_PICTURE = ("gbk-pic", "img src", "/gbk-pic.jpg", 50, 51)
STYLES = [("#styled", "color", "rgb(1, 2, 3)"), ("#imported", "color", "rgb(4, 5, 6)")]

FORMS_PAGE = """<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<title>引用形式样本 reference forms</title>
<link rel="icon" href="favicon.ico">
<link
  rel="stylesheet"
  href="main.css">
<style>
#inline-bg { background: url(inline-bg.png) no-repeat; width: 38px; height: 39px; }
</style>
</head>
<body background="bg.gif">
<h1 id="styled">样式来自 main.css</h1>
<p id="imported">样式来自 css/imported.css</p>
<p id="fonted">A A A</p>
<img id="a" src="a.png" alt="a">
<img id='q' src='q.gif' alt='q'>
<IMG ID="m" Src="m.gif" ALT="m">
<img
  id="split"
  alt="split over lines"
  src="split.jpg"
>
<img id="srcset" srcset="s1.png 1x, s2.png 2x" src="s0.png" alt="srcset">
<picture><source srcset="p.webp" type="image/webp"><img id="picture-img" src="p.png" alt="picture"></picture>
<video id="poster" poster="poster.png" width="30" height="31"></video>
<input id="btn" type="image" src="btn.png" alt="button">
<object id="obj" data="obj.svg" type="image/svg+xml"></object>
<img id="chart" src="chart.svg#v2" alt="chart">
<div id="inline-bg"></div>
<div id="attr-bg" style="background-image:url('attr-bg.png'); width: 40px; height: 41px"></div>
<div id="sprite" class="sprite"></div>
<div id="deep" class="deep"></div>
<img id="dat" src="pic.dat" alt="dat">
<img id="never" src="never-cached.png" alt="never cached">
<iframe id="frame" src="frame.html" width="200" height="100"></iframe>
</body>
</html>
"""

MAIN_CSS = """@import url("css/imported.css");
/* linked sheet, served gzip-encoded */
#styled { color: rgb(1, 2, 3); }
.sprite { background: url(sprite.png) no-repeat; width: 44px; height: 45px; }
@font-face { font-family: Tiny; src: url(font.woff2) format("woff2"), url(font.woff) format("woff"); }
#fonted { font-family: Tiny, monospace; font-size: 20px; }
"""

IMPORTED_CSS = """/* imported sheet in a folder of its own: url() is relative to it */
#imported { color: rgb(4, 5, 6); }
.deep { background: url(../img/deep.png) no-repeat; width: 46px; height: 47px; }
"""

FRAME_PAGE = f"""<!DOCTYPE html>
<html lang="zh-CN">
<head><meta charset="utf-8"><title>框架页 frame</title></head>
<body>
<p id="frame-text">{FRAME_TEXT}</p>
<img id="frame-pic" src="frame-pic.png" alt="frame picture">
</body>
</html>
"""

GBK_TITLE = "简体中文页面（字符集只在 HTTP 头里）"
GBK_TEXT = "这一页用 GBK 编码，页面里没有 meta 标签。"
GBK_PAGE = f"""<!DOCTYPE html>
<html>
<head><title>{GBK_TITLE}</title></head>
<body>
<p id="gbk-text">{GBK_TEXT}</p>
<img id="gbk-pic" src="gbk-pic.jpg" alt="图片">
</body>
</html>
"""


def build_site(webp_picture: bytes | None, font_files: dict[str, bytes]) -> dict[str, Resource]:
    html = "text/html; charset=utf-8"
    made = {"png": ("image/png", png), "gif": ("image/gif", gif)}
    site = {
        "/forms.html": Resource(FORMS_PAGE.encode(), html),
        "/frame.html": Resource(FRAME_PAGE.encode(), html, "gzip"),
        "/gbk.html": Resource(GBK_PAGE.encode("gbk"), "text/html; charset=gbk", "gzip"),
        "/main.css": Resource(MAIN_CSS.encode(), "text/css", "gzip"),
        "/css/imported.css": Resource(IMPORTED_CSS.encode(), "text/css"),
        "/split.jpg": Resource(jpeg(16, 17, 3), "image/jpeg"),
        "/obj.svg": Resource(svg(34, 35, "#3060c0"), "image/svg+xml"),
        "/chart.svg": Resource(svg(36, 37, "#c03060", views=True), "image/svg+xml", "gzip"),
        "/favicon.ico": Resource(ico(*FAVICON[1:]), "image/x-icon"),
        "/frame-pic.png": Resource(png(*FRAME_PICTURE[3:], 90), "image/png"),
        "/gbk-pic.jpg": Resource(jpeg(*GBK_PICTURE[3:], 4), "image/jpeg"),
        "/s0.png": Resource(png(18, 19, 10), "image/png"),
        "/s1.png": Resource(png(20, 21, 20), "image/png"),
        "/s2.png": Resource(png(22, 23, 30), "image/png"),
        "/p.png": Resource(png(26, 27, 40), "image/png"),
    }
    for shade, (_, _, path, kind, width, height) in enumerate(PICTURES):
        if path and path not in site and kind in made:
            content_type, maker = made[kind]
            site[path] = Resource(maker(width, height, 17 * shade % 256), content_type)
    site["/never-cached.png"].cache_control = "no-store"
    if webp_picture:
        site["/p.webp"] = Resource(webp_picture, "image/webp")
    for name, body in font_files.items():
        site["/" + name] = Resource(body, "font/" + name.rsplit(".", 1)[1])
    return site


# --------------------------------------------------------------------------
# What the live pages showed
# --------------------------------------------------------------------------

# Runs in forms.html once it has loaded. Natural sizes of pictures that are
# not <img> come from a new Image() of the URL the page already holds (in
# the memory cache: no request); the <object>'s from its own document.
FORMS_SCRIPT = """(async () => {
  await document.fonts.ready;
  const measure = (url) => new Promise((done) => {
    const image = new Image();
    image.onload = () => done([image.naturalWidth, image.naturalHeight]);
    image.onerror = () => done([0, 0]);
    image.src = url;
  });
  const cssUrl = (value) => { const m = /url\\("?([^")]*)"?\\)/.exec(value || ''); return m ? m[1] : ''; };
  const pictures = [];
  for (const id of %(ids)s) {
    const element = id === 'body' ? document.body : document.getElementById(id);
    let url = '', size = [0, 0];
    if (element.tagName === 'IMG') {
      url = element.currentSrc; size = [element.naturalWidth, element.naturalHeight];
      if (!element.complete) size = [-1, -1];
    } else if (element.tagName === 'OBJECT') {
      url = element.data;
      const root = element.contentDocument && element.contentDocument.documentElement;
      size = root ? [root.width.baseVal.value, root.height.baseVal.value] : [0, 0];
    } else {
      url = element.tagName === 'VIDEO' ? element.poster : element.tagName === 'INPUT' ? element.src
          : cssUrl(getComputedStyle(element).backgroundImage);
      size = await measure(url);
    }
    pictures.push({id, url, width: size[0], height: size[1]});
  }
  const styles = %(styles)s.map(([selector, property]) =>
      ({selector, property, value: getComputedStyle(document.querySelector(selector)).getPropertyValue(property)}));
  const fonts = [...document.fonts].map((font) => ({family: font.family, status: font.status}));
  const frame = document.getElementById('frame').contentDocument;
  const framePicture = frame.getElementById('frame-pic');
  return {
    title: document.title, charset: document.characterSet, pictures, styles, fonts,
    frame: {url: frame.URL, title: frame.title, charset: frame.characterSet,
            text: frame.getElementById('frame-text').textContent,
            picture: {url: framePicture.currentSrc, width: framePicture.naturalWidth,
                      height: framePicture.naturalHeight}},
    resources: performance.getEntriesByType('resource').map((entry) => entry.name),
  };
})()"""

GBK_SCRIPT = """(() => {
  const picture = document.getElementById('gbk-pic');
  return {title: document.title, charset: document.characterSet,
          text: document.getElementById('gbk-text').textContent,
          picture: {url: picture.currentSrc, width: picture.naturalWidth, height: picture.naturalHeight}};
})()"""


def evaluate_async(browser, expression: str) -> object:
    result = browser.devtools.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                         "awaitPromise": True}, session=browser.session)
    if "exceptionDetails" in result:
        raise RuntimeError(f"the page script failed: {result['exceptionDetails']}")
    return result.get("result", {}).get("value")


def check(condition: bool, message: str, problems: list[str]) -> None:
    if not condition:
        problems.append(message)


def fetched_paths(server_lines: list[str]) -> dict[str, str]:
    """Path (with query) to the status the server answered its last GET with."""
    answers = {}
    for line in server_lines:
        _, method, _, path, status, *_ = line.split("\t")
        if method == "GET":
            answers[path] = status
    return answers


def visit_pages(browser, base: str, log: fixtures.ServerLog, have_webp: bool, have_fonts: bool
                ) -> tuple[dict, dict, list[str], list[str]]:
    """Visits forms.html (with its frame) and gbk.html; returns what each
    showed, the server's log and the problems found."""
    problems: list[str] = []
    browser.visit(base + "/forms.html", quiet=1.5)
    forms = evaluate_async(browser, FORMS_SCRIPT % {"ids": json.dumps([p[0] for p in PICTURES]),
                                                    "styles": json.dumps([s[:2] for s in STYLES])})
    time.sleep(1.0)  # late loads the page script may have started
    browser.visit(base + "/gbk.html", quiet=1.0)
    gbk = evaluate_async(browser, GBK_SCRIPT)
    time.sleep(0.5)
    server_lines = log.take()

    sizes = {path: (w, h) for _, _, path, _, w, h in PICTURES if path}
    for candidates in CANDIDATES.values():
        sizes.update({path: (w, h) for path, w, h in candidates})
    shown = {p["id"]: p for p in forms["pictures"]}
    for picture_id, form, path, _, _, _ in PICTURES:
        live = shown[picture_id]
        url_path = live["url"][len(base):] if live["url"].startswith(base) else live["url"]
        if path is not None:
            check(url_path == path, f"{picture_id} ({form}) shows {live['url']}, not {base}{path}", problems)
        check(tuple((live["width"], live["height"])) == sizes.get(url_path),
              f"{picture_id} ({form}): {live['url']} is {live['width']}x{live['height']}, "
              f"made as {sizes.get(url_path)}", problems)
    if have_webp:
        check(shown["picture-img"]["url"] == base + "/p.webp", "<picture> did not choose the WebP source", problems)
    for (selector, prop, value), live in zip(STYLES, forms["styles"]):
        check(live["value"] == value, f"{selector} {prop} is {live['value']!r}, not {value!r}", problems)
    if have_fonts:
        check({"family": FONT_FAMILY, "status": "loaded"} in forms["fonts"],
              f"the web font did not load: {forms['fonts']}", problems)
    frame = forms["frame"]
    check(frame["text"] == FRAME_TEXT, f"the frame shows {frame['text']!r}", problems)
    check((frame["picture"]["width"], frame["picture"]["height"]) == FRAME_PICTURE[3:],
          f"the frame's picture is {frame['picture']}", problems)
    check(gbk["title"] == GBK_TITLE and gbk["text"] == GBK_TEXT and gbk["charset"] == "GBK",
          f"gbk.html shows {gbk}", problems)
    check((gbk["picture"]["width"], gbk["picture"]["height"]) == GBK_PICTURE[3:],
          f"gbk.html's picture is {gbk['picture']}", problems)
    return forms, gbk, server_lines, problems


# --------------------------------------------------------------------------
# expected.json
# --------------------------------------------------------------------------


def build_expected(base: str, site: dict[str, Resource], forms: dict, gbk: dict, answers: dict[str, str],
                   cached: set[str]) -> dict:
    def content_type(url: str) -> str:
        path = url[len(base):].partition("#")[0]
        return site[path].content_type if path in site else "-"

    def not_cached(path: str, reason: str) -> dict:
        return {"url": base + path, "reason": reason}

    forms_by_id = {p["id"]: p for p in forms["pictures"]}
    pictures = []
    for picture_id, form, _, _, _, _ in PICTURES:
        live = forms_by_id[picture_id]
        selector = "body" if picture_id == "body" else f"#{picture_id}"
        pictures.append({"selector": selector, "form": form, "url": live["url"], "width": live["width"],
                         "height": live["height"], "content_type": content_type(live["url"]),
                         "in_cache": live["url"].partition("#")[0] in cached})

    missing = [not_cached("/never-cached.png", "served with Cache-Control: no-store")]
    for picture_id, candidates in CANDIDATES.items():
        chosen = forms_by_id[picture_id]["url"]
        for path, _, _ in candidates:
            if base + path != chosen and path not in answers:
                missing.append(not_cached(path, f"not fetched: chromium showed {chosen} for #{picture_id}"))
    if "/font.woff" in site and "/font.woff" not in answers:
        missing.append(not_cached("/font.woff", "not fetched: chromium used the first source, font.woff2"))
    favicon = {"url": base + FAVICON[0], "width": FAVICON[1], "height": FAVICON[2], "content_type": "image/x-icon"}
    if FAVICON[0] not in answers:
        missing.append(not_cached(FAVICON[0], "not fetched: headless chromium asks for no icon"))

    def page_resources(paths: list[str]) -> list[str]:
        return sorted(base + p for p in paths if base + p in cached)

    forms_paths = [p for p in answers if p not in ("/gbk.html", "/gbk-pic.jpg", "/frame.html", "/frame-pic.png")]
    frame = forms["frame"]
    return {
        "site": base,
        "pages": [
            {
                "url": base + "/forms.html",
                "title": forms["title"],
                "charset": forms["charset"],
                "pictures": pictures,
                "icon": favicon,
                "styles": [{"selector": s[0], "property": s[1], "value": live["value"]}
                           for s, live in zip(STYLES, forms["styles"])],
                "fonts": [{"family": f["family"], "status": f["status"], "url": base + "/font.woff2"}
                          for f in forms["fonts"]],
                "frames": [{"selector": "#frame", "url": frame["url"], "text": frame["text"]}],
                "cached": page_resources(forms_paths),
                "not_cached": missing,
            },
            {
                "url": frame["url"],
                "embedded_in": base + "/forms.html",
                "title": frame["title"],
                "charset": frame["charset"],
                "text": frame["text"],
                "pictures": [{"selector": "#" + FRAME_PICTURE[0], "form": FRAME_PICTURE[1],
                              **frame["picture"], "content_type": "image/png",
                              "in_cache": frame["picture"]["url"] in cached}],
                "cached": page_resources(["/frame.html", "/frame-pic.png"]),
                "not_cached": [],
            },
            {
                "url": base + "/gbk.html",
                "title": gbk["title"],
                "charset": gbk["charset"],
                "charset_source": "HTTP header only (Content-Type: text/html; charset=gbk)",
                "text": gbk["text"],
                "pictures": [{"selector": "#" + GBK_PICTURE[0], "form": GBK_PICTURE[1], **gbk["picture"],
                              "content_type": "image/jpeg", "in_cache": gbk["picture"]["url"] in cached}],
                "cached": page_resources(["/gbk.html", "/gbk-pic.jpg"]),
                "not_cached": [],
            },
        ],
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="new or empty folder for Cache_Data, listing.txt and expected.json")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT,
                        help=f"port of the site (default {DEFAULT_PORT}; it is part of every cache key)")
    args = parser.parse_args()
    out = fixtures.new_output_folder(args.out)

    webp_picture = webp(24, 25)
    if webp_picture is None:
        print("note: chromium made no WebP; <picture> falls back to p.png", file=sys.stderr)
    font_files = fonts()
    if not font_files:
        print("note: no python with fontTools and brotli (apt-get install python3-fonttools python3-brotli); "
              "the page's web font is left out", file=sys.stderr)
    site = build_site(webp_picture, font_files)
    base = f"http://127.0.0.1:{args.port}"
    log = fixtures.ServerLog()
    servers = fixtures.LoopbackServers(args.port, site, log)
    try:
        with tempfile.TemporaryDirectory(prefix="webgleaner-browser-home-") as home_name:
            browser = fixtures.ChromiumSession(Path(home_name), [fixtures.CACHE_SIZE_FLAG])
            try:
                forms, gbk, server_lines, problems = visit_pages(browser, base, log, webp_picture is not None,
                                                                 bool(font_files))
            finally:
                browser.close()
            out.mkdir(parents=True, exist_ok=True)
            shutil.copytree(browser.cache_folder(), out / "Cache_Data")
    finally:
        servers.close()

    entries = fixtures.read_simple_cache(out / "Cache_Data")
    fixtures.write_listing(entries, out / "listing.txt")
    answers = fetched_paths(server_lines)
    cached = {e.url for e in entries}
    storable = {base + path for path, status in answers.items()
                if status == "200" and site.get(path.partition("?")[0]) is not None
                and site[path.partition("?")[0]].cache_control == fixtures.LONG_CACHE}
    for url in sorted(storable - cached):
        problems.append(f"the page loaded {url}, but the cache lacks it")
    shown = [p["url"] for p in forms["pictures"]] + [forms["frame"]["picture"]["url"], gbk["picture"]["url"]]
    for url in sorted({url.partition("#")[0] for url in shown} - cached - {base + "/never-cached.png"}):
        problems.append(f"the page showed {url}, but the cache lacks it")
    if base + "/never-cached.png" in cached:
        problems.append("the no-store picture is in the cache")
    if problems:
        (out / "server.log").write_text("\n".join(server_lines) + "\n", encoding="utf-8")
        sys.exit("the fixture is wrong:\n  " + "\n  ".join(problems))
    expected = build_expected(base, site, forms, gbk, answers, cached)
    (out / "expected.json").write_text(json.dumps(expected, ensure_ascii=False, indent=2) + "\n", encoding="utf-8")
    size = sum(p.stat().st_size for p in (out / "Cache_Data").rglob("*") if p.is_file())
    print(f"{out / 'Cache_Data'}: {len(entries)} entries, {size / 1e3:.0f} KB")


if __name__ == "__main__":
    main()
