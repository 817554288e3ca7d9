#!/usr/bin/env python3
"""Measure keeping (webgleaner-cli watch) against a real browser browsing.

Serves a generated site on 127.0.0.1: PAGES pages, each with a title, some
text and PICTURES pictures of its own (PNG, JPEG and GIF in turn, each
5-60 KB of unique bytes behind a real header, all cacheable). A page moves
on to the next once its pictures have loaded, so the browser walks the
site by itself, a page every PACE ms or so. Debian's headless chromium or
firefox-esr browses it with a throw-away profile and a disk cache of a few
MB, far smaller than the site, so that the browser evicts entries all
along; the keeper watches that cache with a resource plan for the pictures
and a document plan for the pages. After the last page the keeper is
stopped with SIGINT and the figures are printed:

  pictures   fetched (the server's log), written to the cache (seen in
             it) and saved byte for byte
  pages      the same, archived (an .mht whose page part is the page)
             and holding every picture of the page, byte for byte
  one-shot   what `webgleaner-cli run` saves from the cache afterwards
             into fresh folders: what survived eviction
  delay      from the browser's last write of an entry to its saved file:
             the entry file's mtime, sampled on every inotify event in the
             cache folder, against the saved file's ctime (its rename into
             place); median and 99th percentile

The keeper is judged on what the browser wrote to its cache: at least
--min-pictures % (99) of those pictures kept byte for byte, every page
written archived, with all its pictures where they all reached the cache,
and a clean end on SIGINT. The browser must have written --min-written %
(90) of the pictures it fetched: firefox stores nothing while it cannot
evict fast enough, which no keeper can make up for, but a setup in which
it stores almost nothing measures nothing. Exit codes: 0 the targets are
met, 1 they are not or something failed, 77 the browser is missing (a
skip, as ctest reads it).

Nothing outlives the script: the browser and the keeper run in sessions
of their own, with the kernel told to kill them if the script dies, and
are ended in every exit path; every wait has a limit. Needs python3 (standard library only), setpriv (util-linux) and
chromium or firefox-esr; uses the browser plumbing of make-cache-fixtures.py.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import email
import email.policy
import hashlib
import http.server
import importlib.util
import json
import os
import random
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from dataclasses import dataclass, field
from pathlib import Path

_FIXTURES_PATH = Path(__file__).with_name("make-cache-fixtures.py")
_spec = importlib.util.spec_from_file_location("make_cache_fixtures", _FIXTURES_PATH)
fixtures = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = fixtures  # dataclasses look their module up while the file loads
_spec.loader.exec_module(fixtures)

SKIP = 77
DEFAULT_PORT = 18439
PICTURE_KINDS = ("png", "jpg", "gif")
CONTENT_TYPES = {"png": "image/png", "jpg": "image/jpeg", "gif": "image/gif", "html": "text/html; charset=utf-8",
                 "txt": "text/plain"}
WORDS = "缓存 页面 图片 浏览 保存 网站 文字 标题 今天 天气 新闻 体育 音乐 电影 旅行 城市 河流 山峰".split()
BROWSER_COMMANDS = {"chromium": "chromium", "firefox": "firefox-esr"}


class Failure(Exception):
    """A step that did not work; the run ends with its message and exit code 1."""


# --------------------------------------------------------------------------
# The site
# --------------------------------------------------------------------------


def _png_with_filler(seed: int, filler: bytes) -> bytes:
    shade = seed % 251
    image = fixtures.png_image(8, 8, lambda x, y: ((x * 31 + shade) % 256, (y * 29) % 256, shade))
    # An ancillary, private, safe-to-copy chunk before IEND: decoders skip it.
    chunk = struct.pack(">I", len(filler)) + b"fiLl" + filler + struct.pack(">I", zlib.crc32(b"fiLl" + filler))
    return image[:-12] + chunk + image[-12:]


def _gif_with_filler(seed: int, filler: bytes) -> bytes:
    shade = seed % 251
    palette = [((shade + 37 * i) % 256, (91 * i) % 256, (255 - 23 * i) % 256) for i in range(4)]
    image = fixtures.gif_image(8, 8, palette, lambda x, y: (x + y + seed) % 4)
    # A comment extension before the trailer, in sub-blocks of at most 255 bytes.
    blocks = b"".join(bytes([len(filler[i:i + 255])]) + filler[i:i + 255] for i in range(0, len(filler), 255))
    return image[:-1] + b"\x21\xfe" + blocks + b"\x00" + image[-1:]


def _jpeg_with_filler(seed: int, filler: bytes) -> bytes:
    image = fixtures.jpeg_image(16, 16, seed=seed, detail=0.2)
    # COM segments right after SOI; a segment carries at most 65533 bytes.
    segments = b"".join(struct.pack(">BBH", 0xFF, 0xFE, len(filler[i:i + 65533]) + 2) + filler[i:i + 65533]
                        for i in range(0, len(filler), 65533))
    return image[:2] + segments + image[2:]


@dataclass
class Site:
    pages: int
    pictures_per_page: int
    pace_ms: int
    port: int
    salt: int = 0
    digests: dict[str, str] = field(default_factory=dict)  # picture path -> SHA-256 of its body
    by_digest: dict[str, str] = field(default_factory=dict)

    def __post_init__(self) -> None:
        for page in range(self.pages):
            for path in self.picture_paths(page):
                digest = hashlib.sha256(self.picture_body(path)).hexdigest()
                self.digests[path] = digest
                self.by_digest[digest] = path

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.port}{path}"

    @staticmethod
    def page_path(page: int) -> str:
        return f"/p/{page:04}.html"

    def picture_paths(self, page: int) -> list[str]:
        # Names unique over the site, so that saved names never collide.
        return [f"/img/p{page:04}-{i:02}.{PICTURE_KINDS[(page + i) % 3]}" for i in range(self.pictures_per_page)]

    def picture_body(self, path: str) -> bytes:
        name = path.rsplit("/", 1)[-1]
        page, number = (int(part) for part in name[1:].split(".")[0].split("-"))
        seed = (self.salt * 1000003 + page * 1000 + number) & 0xFFFFFFFF
        rng = random.Random(seed)
        filler = rng.randbytes(rng.randint(5 * 1024, 60 * 1024 - 600))
        kind = name.rsplit(".", 1)[-1]
        make = {"png": _png_with_filler, "gif": _gif_with_filler, "jpg": _jpeg_with_filler}[kind]
        return make(seed, filler)

    def page_body(self, page: int) -> bytes:
        rng = random.Random(self.salt * 7919 + page)
        text = "".join(rng.choice(WORDS) for _ in range(rng.randint(40, 120)))
        following = self.page_path(page + 1) if page + 1 < self.pages else "/done.html"
        pictures = "\n".join(f'<img src="{path}" alt="图 {i}">' for i, path in enumerate(self.picture_paths(page)))
        return f"""<!DOCTYPE html>
<html lang="zh-CN">
<head><meta charset="utf-8"><title>保留测试页 {page:04}</title></head>
<body>
<h1>第 {page} 页</h1>
<p>{text}</p>
{pictures}
<script>
window.addEventListener("load", () => setTimeout(() => {{ location.href = "{following}"; }}, {self.pace_ms}));
</script>
</body>
</html>
""".encode()


@dataclass
class Served:
    path: str
    status: int
    at: float


class SiteLog:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._lines: list[Served] = []

    def add(self, path: str, status: int) -> None:
        with self._lock:
            self._lines.append(Served(path, status, time.time()))

    def lines(self) -> list[Served]:
        with self._lock:
            return list(self._lines)

    def saw(self, path: str) -> bool:
        with self._lock:
            return any(line.path == path for line in self._lines)


class KeepSiteHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "KeepSiteServer"

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002 - the base class's name
        pass

    def do_GET(self) -> None:
        site = self.server.site
        path = self.path.split("?", 1)[0]
        body, kind, cache = None, "html", fixtures.LONG_CACHE
        if path in site.digests:
            body, kind = site.picture_body(path), path.rsplit(".", 1)[-1]
        elif path.startswith("/p/") and path.endswith(".html"):
            try:
                page = int(path[3:-5])
            except ValueError:
                page = -1
            if 0 <= page < site.pages:
                body = site.page_body(page)
        elif path == "/done.html":
            body, cache = b"<!DOCTYPE html><title>done</title><p>done</p>", "no-store"
        elif path == "/start.txt":
            # Cacheable, so that the browser makes its cache folder, and of a type no plan takes.
            body, kind = b"start\n", "txt"
        status = 200 if body is not None else 404
        self.server.log.add(path, status)
        if body is None:
            body, kind, cache = fixtures.NOT_FOUND_BODY, "html", "no-store"
        self.send_response(status)
        self.send_header("Content-Type", CONTENT_TYPES[kind])
        self.send_header("Cache-Control", cache)
        self.send_header("Last-Modified", fixtures.LAST_MODIFIED)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class KeepSiteServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, site: Site, log: SiteLog) -> None:
        self.site, self.log = site, log
        super().__init__(("127.0.0.1", site.port), KeepSiteHandler)
        threading.Thread(target=self.serve_forever, name="site", daemon=True).start()

    def close(self) -> None:
        self.shutdown()
        self.server_close()


# --------------------------------------------------------------------------
# Watching the browser write its cache
# --------------------------------------------------------------------------

IN_MODIFY, IN_CLOSE_WRITE, IN_MOVED_TO, IN_CREATE = 0x2, 0x8, 0x80, 0x100
_EVENT = struct.Struct("iIII")


def chromium_entry_url(path: Path) -> str | None:
    """The URL of a simple cache entry file (<hash>_0), from the key in its header."""
    with open(path, "rb") as entry:
        head = entry.read(24)
        if len(head) < 24 or head[:8] != struct.pack("<Q", 0xFCFB6D1BA7725C30):
            return None
        key = entry.read(min(struct.unpack_from("<I", head, 12)[0], 1 << 16))
    return fixtures.url_of_chromium_key(key.decode("latin-1"))


def firefox_entry_url(path: Path) -> str | None:
    """The URL of a cache2 entry file, from the key in its metadata at the end (written last)."""
    data = path.read_bytes()
    if len(data) < 8:
        return None
    data_size = struct.unpack(">I", data[-4:])[0] & 0x7FFFFFFF
    header = data_size + 4 + 2 * ((data_size + 262143) // 262144)
    if header + 32 > len(data):
        return None
    key_size = struct.unpack_from(">I", data, header + 24)[0]
    key = data[header + 32:header + 32 + key_size].decode("latin-1")
    marker = key.find(":http")
    return key[marker + 1:] if marker >= 0 else None


class EntryWrites:
    """Sees every write to the entry files of one cache folder (inotify, on a thread of its own) and keeps,
    for each URL, the mtimes its entry file had at those writes. The URL comes from the file itself, read
    at its first complete write; files of other kinds are ignored."""

    def __init__(self, folder: Path, url_of: callable, wanted: callable) -> None:
        self.folder, self._url_of, self._wanted = folder, url_of, wanted
        self._libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        self._fd = self._libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self._fd < 0:
            raise Failure(f"inotify_init1: {os.strerror(ctypes.get_errno())}")
        mask = IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE
        if self._libc.inotify_add_watch(self._fd, os.fsencode(folder), mask) < 0:
            raise Failure(f"inotify_add_watch {folder}: {os.strerror(ctypes.get_errno())}")
        self._lock = threading.Lock()
        self._names: dict[str, str] = {}  # entry file name -> URL
        self._mtimes: dict[str, list[int]] = {}  # entry file name -> mtimes seen, in ns
        self.events = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, name="cache watch", daemon=True)
        self._thread.start()

    def _loop(self) -> None:
        while not self._stop.is_set():
            ready, _, _ = select.select([self._fd], [], [], 0.2)
            if not ready:
                continue
            try:
                data = os.read(self._fd, 1 << 16)
            except BlockingIOError:
                continue
            offset = 0
            touched: set[str] = set()
            while offset + _EVENT.size <= len(data):
                _, mask, _, length = _EVENT.unpack_from(data, offset)
                name = data[offset + _EVENT.size:offset + _EVENT.size + length].rstrip(b"\0").decode("latin-1")
                offset += _EVENT.size + length
                if name and self._wanted(name):
                    touched.add(name)
                    self.events += 1
            for name in touched:
                self._sample(name)

    def _sample(self, name: str) -> None:
        path = self.folder / name
        try:
            mtime = path.stat().st_mtime_ns
        except FileNotFoundError:
            return
        with self._lock:
            self._mtimes.setdefault(name, []).append(mtime)
            known = name in self._names
        if not known:
            try:
                url = self._url_of(path)
            except (OSError, struct.error, UnicodeDecodeError):
                url = None
            if url:
                with self._lock:
                    self._names[name] = url

    def stop(self) -> None:
        if self._stop.is_set():
            return
        self._stop.set()
        self._thread.join(timeout=5)
        os.close(self._fd)

    def writes_by_url(self) -> dict[str, list[int]]:
        with self._lock:
            by_url: dict[str, list[int]] = {}
            for name, mtimes in self._mtimes.items():
                if name in self._names:
                    by_url.setdefault(self._names[name], []).extend(mtimes)
            return {url: sorted(set(times)) for url, times in by_url.items()}


# --------------------------------------------------------------------------
# Processes: the keeper and the browsers
# --------------------------------------------------------------------------


def _die_with_parent() -> list[str]:
    """A prefix that has the kernel kill the command when this script dies, however it dies."""
    return ["setpriv", "--pdeathsig", "KILL"] if shutil.which("setpriv") else []


def end_group(process: subprocess.Popen, signal_number: int = signal.SIGTERM, grace: float = 10.0) -> None:
    """Ends a process started in a session of its own, with its children."""
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal_number)
            process.wait(timeout=grace)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()


class Keeper:
    """webgleaner-cli watch over one cache, or, with mode "run", a stand-in that runs the one-shot command
    over and over until stopped (same plans, same folders), for where watch is not built."""

    def __init__(self, cli: str, mode: str, plans: Path, cache: Path, work: Path) -> None:
        self._env = dict(os.environ, HOME=str(work / "cli-home"))
        (work / "cli-home").mkdir(exist_ok=True)
        self._log_path = work / "keeper.log"
        self._log = open(self._log_path, "wb")
        self.mode = mode
        if mode == "watch":
            argv = [cli, "watch", "--plans", str(plans), "--cache", str(cache)]
        else:
            loop = 'trap "exit 0" INT TERM; while :; do "$0" run --quiet --plans "$1" --cache "$2"; sleep 0.5; done'
            argv = ["sh", "-c", loop, cli, str(plans), str(cache)]
        self.process = subprocess.Popen(_die_with_parent() + argv, env=self._env, stdin=subprocess.DEVNULL,
                                        stdout=self._log, stderr=self._log, start_new_session=True)

    def wait_started(self, limit: float = 30.0) -> None:
        """Until watch names the caches it keeps ("守候中：…") after its first reading of them; the stand-in
        only gets a moment."""
        if self.mode != "watch":
            time.sleep(0.5)
            return
        wait_until(lambda: "守候中" in self.output(), limit, "the keeper's start", check=self.check_alive)

    def check_alive(self) -> None:
        if self.process.poll() is not None:
            raise Failure(f"the keeper ended early (exit code {self.process.returncode}):\n{self.output()}")

    def stop(self, limit: float = 60.0) -> tuple[int | None, float]:
        """SIGINT, as a user's Ctrl+C; the exit code (None: it had to be killed) and how long it took."""
        started = time.monotonic()
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGINT)
            try:
                self.process.wait(timeout=limit)
            except subprocess.TimeoutExpired:
                end_group(self.process, signal.SIGKILL)
                return None, time.monotonic() - started
        return self.process.returncode, time.monotonic() - started

    def close(self) -> None:
        end_group(self.process)
        self._log.close()

    def output(self) -> str:
        self._log.flush()
        return self._log_path.read_text(errors="replace")


class ChromiumBrowser(fixtures.ChromiumSession):
    """Headless chromium with its own user data folder and a small disk cache in `cache_dir`, driven over
    the DevTools pipe. Its cache is a Cache_Data folder inside `cache_dir` (Default/Cache/Cache_Data in
    chromium 156, Cache_Data directly in older ones)."""

    def __init__(self, work: Path, cache_dir: Path, cache_bytes: int) -> None:
        self.home = work / "browser-home"
        self.home.mkdir()
        self._cache_dir = cache_dir
        self._log_file = open(work / "browser.log", "wb")
        argv = [*_die_with_parent(), "chromium", *self.FLAGS, f"--user-data-dir={work / 'chromium-profile'}",
                f"--disk-cache-dir={cache_dir}", f"--disk-cache-size={cache_bytes}", "about:blank"]
        self.devtools = fixtures.DevToolsPipe(argv, fixtures.browser_environment(self.home), self._log_file)
        targets = self.devtools.call("Target.getTargets")["targetInfos"]
        pages = [t["targetId"] for t in targets if t["type"] == "page"]
        target = pages[0] if pages else self.devtools.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.devtools.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page.enable", "Runtime.enable"):
            self.devtools.call(domain, session=self.session)

    def go(self, url: str) -> None:
        """Starts loading `url` without waiting for it."""
        self.devtools.call("Page.navigate", {"url": url}, session=self.session)

    def alive(self) -> bool:
        return self.devtools.process.poll() is None

    def kill(self) -> None:
        end_group(self.devtools.process, signal.SIGKILL)

    def cache_folder(self) -> Path:
        found = sorted(self._cache_dir.rglob("Cache_Data"))
        return found[0] if found else self._cache_dir / "Cache_Data"

    @staticmethod
    def entry_files(name: str) -> bool:
        return len(name) == 18 and name.endswith("_0")

    entry_url = staticmethod(chromium_entry_url)

    def entries_folder(self) -> Path:
        return self.cache_folder()


class FirefoxBrowser(fixtures.FirefoxSession):
    """Headless firefox-esr on a profile folder of its own (not under ~/.mozilla), driven over Marionette.
    Such a profile keeps its cache inside itself: `profile`/cache2 (cache_folder finds it). Quits as the
    fixtures' session does (close)."""

    PREFS = dict(
        fixtures.FIREFOX_PREFS,
        **{
            # Nothing on the screen or the network but the site: no welcome, no what's-new, no studies,
            # no remote settings, no DNS over HTTPS, no prefetching; the dead proxy catches the rest.
            "browser.aboutwelcome.enabled": False,
            "trailhead.firstrun.didSeeAboutWelcome": True,
            "browser.startup.firstrunSkipsHomepage": True,
            "startup.homepage_welcome_url": "",
            "startup.homepage_welcome_url.additional": "",
            "browser.startup.homepage": "about:blank",
            "app.normandy.enabled": False,
            "app.shield.optoutstudies.enabled": False,
            "toolkit.telemetry.enabled": False,
            "toolkit.telemetry.unified": False,
            "toolkit.telemetry.archive.enabled": False,
            "browser.ping-centre.telemetry": False,
            "browser.discovery.enabled": False,
            "browser.newtabpage.activity-stream.feeds.telemetry": False,
            "browser.newtabpage.activity-stream.feeds.topsites": False,
            "browser.newtabpage.activity-stream.feeds.section.topstories": False,
            "browser.topsites.contile.enabled": False,
            "browser.search.update": False,
            "browser.region.update.enabled": False,
            "browser.region.network.url": "",
            "services.settings.server": "http://127.0.0.1:9/",
            "extensions.getAddons.cache.enabled": False,
            "extensions.systemAddon.update.enabled": False,
            "media.gmp-manager.updateEnabled": False,
            "network.trr.mode": 5,
            "network.dns.disablePrefetch": True,
            "network.prefetch-next": False,
            "network.predictor.enabled": False,
            "network.http.speculative-parallel-limit": 0,
            "browser.sessionstore.resume_from_crash": False,
            "browser.tabs.warnOnClose": False,
            # Entries firefox holds in memory cannot be evicted; by default it holds up to 250 KiB of them,
            # about 150 of this site's pictures, which fill a cache of 4 MB: full, it would store nothing more.
            "browser.cache.disk.metadata_memory_limit": 16,
        },
    )

    def __init__(self, work: Path, cache_kib: int) -> None:
        self.home = work / "browser-home"
        self.home.mkdir()
        self.profile = work / "firefox-profile"
        self.profile.mkdir()
        port = fixtures.free_port()
        prefs = dict(self.PREFS, **{"marionette.port": port, "browser.cache.disk.capacity": cache_kib})
        with open(self.profile / "user.js", "w") as user_js:
            for name, value in prefs.items():
                user_js.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
        self._log_file = open(work / "browser.log", "wb")
        self.process = subprocess.Popen(
            [*_die_with_parent(), "firefox-esr", "--headless", "--marionette", "--no-remote", "--profile",
             str(self.profile), "about:blank"],
            env=fixtures.browser_environment(self.home), stdin=subprocess.DEVNULL, stdout=self._log_file,
            stderr=self._log_file, start_new_session=True)
        self.marionette = fixtures.Marionette(port, self.process)
        self.marionette.call("WebDriver:NewSession",
                             {"capabilities": {"alwaysMatch": {"pageLoadStrategy": "none"}}})

    def go(self, url: str) -> None:
        self.marionette.call("WebDriver:Navigate", {"url": url})

    def alive(self) -> bool:
        return self.process.poll() is None

    def kill(self) -> None:
        end_group(self.process, signal.SIGKILL)

    def cache_folder(self) -> Path:
        for candidate in (self.profile / "cache2", *self.home.rglob("cache2"), *self.profile.rglob("cache2")):
            if (candidate / "entries").is_dir():
                return candidate
        return self.profile / "cache2"

    @staticmethod
    def entry_files(name: str) -> bool:
        return len(name) == 40 and all(c in "0123456789ABCDEF" for c in name)

    entry_url = staticmethod(firefox_entry_url)

    def entries_folder(self) -> Path:
        return self.cache_folder() / "entries"


# --------------------------------------------------------------------------
# What was saved
# --------------------------------------------------------------------------


def write_plans(path: Path, pictures: Path, pages: Path) -> None:
    pictures.mkdir(parents=True)
    pages.mkdir(parents=True)
    path.write_text(f"""[name]
n1=key1
n2=key2
[key1]
name=pictures
ztype=1
tpname=*.png,*.jpg(jpeg),*.gif
savpath={pictures}
[key2]
name=pages
ztype=0
tpname=*.htm(html)
savpath={pages}
""", encoding="utf-8")


@dataclass
class Saved:
    pictures: dict[str, float] = field(default_factory=dict)  # picture URL -> ctime of its saved file
    stray_pictures: list[str] = field(default_factory=list)  # saved files that are no picture of the site
    pages: dict[str, float] = field(default_factory=dict)  # page URL -> ctime of its archive
    # page URL -> the pictures found whole in each of its archives (more than one: saved more than once)
    page_pictures: dict[str, list[set[str]]] = field(default_factory=dict)
    bad_archives: list[str] = field(default_factory=list)


def read_saved(site: Site, pictures: Path, pages: Path) -> Saved:
    saved = Saved()
    for path in sorted(pictures.iterdir()):
        if not path.is_file():
            continue
        picture = site.by_digest.get(hashlib.sha256(path.read_bytes()).hexdigest())
        if picture is None:
            saved.stray_pictures.append(path.name)
            continue
        ctime = path.stat().st_ctime
        url = site.url(picture)
        saved.pictures[url] = min(ctime, saved.pictures.get(url, ctime))
    for path in sorted(pages.iterdir()):
        if not path.is_file() or path.suffix != ".mht":
            continue
        message = email.message_from_bytes(path.read_bytes(), policy=email.policy.default)
        page_url, found = None, set()
        for part in message.walk():
            location = part.get("Content-Location")
            if location is None or part.is_multipart():
                continue
            location = str(location).strip()
            body = part.get_payload(decode=True) or b""
            if page_url is None and part.get_content_type() == "text/html":
                page_url = location
            elif site.by_digest.get(hashlib.sha256(body).hexdigest()) == location.removeprefix(site.url("")):
                found.add(location)
        if page_url is None:
            saved.bad_archives.append(path.name)
            continue
        ctime = path.stat().st_ctime
        saved.pages[page_url] = min(ctime, saved.pages.get(page_url, ctime))
        saved.page_pictures.setdefault(page_url, []).append(found)
    return saved


def percentile(values: list[float], share: float) -> float:
    """Nearest rank."""
    ordered = sorted(values)
    return ordered[max(0, min(len(ordered) - 1, int(-(-share * len(ordered) // 1)) - 1))]


def delays(saved: dict[str, float], writes: dict[str, list[int]]) -> tuple[list[float], int]:
    """For each saved URL, its saved file's ctime minus the last write of its entry before that; and how
    many saved URLs had no write seen before their save."""
    found, unseen = [], 0
    for url, ctime in saved.items():
        before = [t / 1e9 for t in writes.get(url, []) if t / 1e9 <= ctime + 0.005]
        if not before:
            unseen += 1
            continue
        found.append(max(0.0, ctime - before[-1]))
    return found, unseen


def describe_delays(name: str, values: list[float], unseen: int) -> str:
    if not values:
        return f"  {name}: no delay measured ({unseen} without a write seen)"
    return (f"  {name}: median {percentile(values, 0.5) * 1000:.0f} ms, 99th percentile "
            f"{percentile(values, 0.99) * 1000:.0f} ms, max {max(values) * 1000:.0f} ms over {len(values)}"
            + (f" ({unseen} without a write seen)" if unseen else ""))


# --------------------------------------------------------------------------
# The measurement
# --------------------------------------------------------------------------


def wait_until(condition: callable, limit: float, what: str, poll: float = 0.1, check: callable = None) -> None:
    deadline = time.monotonic() + limit
    while not condition():
        if check:
            check()
        if time.monotonic() > deadline:
            raise Failure(f"{what}: not within {limit:.0f} s")
        time.sleep(poll)


def run_one_shot(cli: str, work: Path, site: Site, cache: Path) -> Saved:
    plans = work / "one-shot-plans.ini"
    pictures, pages = work / "one-shot" / "pictures", work / "one-shot" / "pages"
    write_plans(plans, pictures, pages)
    with open(work / "one-shot.log", "wb") as log:
        result = subprocess.run([*_die_with_parent(), cli, "run", "--quiet", "--plans", str(plans), "--cache",
                                 str(cache)], env=dict(os.environ, HOME=str(work / "cli-home")),
                                stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=600)
    if result.returncode > 1:
        raise Failure(f"the one-shot run failed (exit code {result.returncode}); see {work / 'one-shot.log'}")
    return read_saved(site, pictures, pages)


def measure(args: argparse.Namespace, work: Path) -> bool:
    started = time.monotonic()
    site = Site(args.pages, args.pictures, args.pace, args.port, salt=random.randrange(1 << 30))
    site_bytes = sum(len(site.picture_body(p)) for p in list(site.digests)[:50]) * len(site.digests) / 50
    plans = work / "plans.ini"
    kept_pictures, kept_pages = work / "kept" / "pictures", work / "kept" / "pages"
    write_plans(plans, kept_pictures, kept_pages)
    log = SiteLog()
    server = KeepSiteServer(site, log)
    browser = keeper = watch = None
    try:
        if args.browser == "chromium":
            browser = ChromiumBrowser(work, work / "chromium-cache", args.cache_mb * 1024 * 1024)
        else:
            browser = FirefoxBrowser(work, args.cache_mb * 1024)

        def browser_alive() -> None:
            if not browser.alive():
                raise Failure("the browser ended early; see browser.log")

        # The cache folder is made when the browser first stores something, not at its start.
        browser.go(site.url("/start.txt"))
        wait_until(lambda: log.saw("/start.txt") and browser.entries_folder().is_dir(), 60,
                   "the browser's cache folder", check=browser_alive)
        cache = browser.cache_folder()
        watch = EntryWrites(browser.entries_folder(), browser.entry_url, browser.entry_files)
        keeper = Keeper(args.cli, args.keeper, plans, cache, work)
        keeper.wait_started()
        print(f"{args.browser}: {args.pages} pages, {len(site.digests)} pictures (about "
              f"{site_bytes / 1e6:.0f} MB), a cache of {args.cache_mb} MB in {cache}", flush=True)

        browse_started = time.monotonic()
        browser.go(site.url(site.page_path(0)))
        limit = args.pages * (args.pace / 1000 + 5) + 60

        def check() -> None:
            keeper.check_alive()
            browser_alive()

        wait_until(lambda: log.saw("/done.html"), limit, "browsing every page", poll=0.25, check=check)
        browsed = time.monotonic() - browse_started
        # The last page's entries reach the cache after its load; the keeper lets an entry settle first.
        time.sleep(args.linger)
        code, stop_took = keeper.stop()
        keeper_output = keeper.output()
        watch.stop()
        writes = watch.writes_by_url()
        kept = read_saved(site, kept_pictures, kept_pages)
        browser.close()
        browser = None
        one_shot = run_one_shot(args.cli, work, site, cache)
    finally:
        if keeper:
            keeper.close()
        if watch:
            watch.stop()
        if browser:
            browser.kill()
        server.close()

    served = log.lines()
    fetched_pictures = {site.url(s.path) for s in served if s.status == 200 and s.path in site.digests}
    fetched_pages = {site.url(s.path) for s in served if s.status == 200 and s.path.startswith("/p/")}
    pictures_of = {site.url(site.page_path(p)): {site.url(q) for q in site.picture_paths(p)}
                   for p in range(site.pages)}
    kept_fetched = len(fetched_pictures & kept.pictures.keys())
    picture_share = 100.0 * kept_fetched / max(1, len(fetched_pictures))
    written_pictures = fetched_pictures & writes.keys()
    written_pages = fetched_pages & writes.keys()
    kept_share = 100.0 * len(written_pictures & kept.pictures.keys()) / max(1, len(written_pictures))
    written_share = 100.0 * len(written_pictures) / max(1, len(fetched_pictures))
    archived = fetched_pages & kept.pages.keys()
    whole = {page for page in archived if any(pictures_of[page] <= found for found in kept.page_pictures[page])}
    # Pages whose pictures all reached the cache: their archives can hold every one.
    complete = {page for page in written_pages if pictures_of[page] <= writes.keys()}
    extra_archives = sum(len(archives) - 1 for archives in kept.page_pictures.values())
    picture_delays, pictures_unseen = delays(kept.pictures, writes)
    page_delays, pages_unseen = delays(kept.pages, writes)
    stopped = "killed after 60 s" if code is None else f"exit code {code}"

    print(f"browsed in {browsed:.0f} s ({browsed / args.pages:.2f} s a page), keeper: {args.keeper}, "
          f"stopped by SIGINT in {stop_took:.1f} s ({stopped}); {watch.events} writes to entry files seen")
    print(f"pictures: fetched {len(fetched_pictures)}, written to the cache {len(written_pictures)}, kept "
          f"byte-exact {kept_fetched} ({kept_share:.1f} % of those written, {picture_share:.1f} % of those fetched)"
          + (f", {len(kept.stray_pictures)} saved files match no picture" if kept.stray_pictures else ""))
    print(f"pages:    fetched {len(fetched_pages)}, written to the cache {len(written_pages)}, "
          f"archived {len(archived)}, "
          f"with all their pictures byte-exact {len(whole)}"
          + (f"; {extra_archives} more archives of pages archived already" if extra_archives else "")
          + (f"; {len(kept.bad_archives)} archives without a page part" if kept.bad_archives else ""))
    print(f"one-shot run afterwards: pictures {len(one_shot.pictures)} (keeping: {len(kept.pictures)}), "
          f"pages {len(one_shot.pages)} (keeping: {len(kept.pages)})")
    print("delay from the entry file's last write (its mtime, sampled at each inotify event) to the saved "
          "file's ctime:")
    print(describe_delays("pictures", picture_delays, pictures_unseen))
    print(describe_delays("pages", page_delays, pages_unseen))
    print("keeper's last lines:")
    for line in keeper_output.strip().splitlines()[-6:]:
        print(f"  {line}")
    print(f"work folder {work}, {time.monotonic() - started:.0f} s in all")

    # What the keeper missed, apart from what the browser never wrote to its disk cache at all.
    for what, fetched, saved in (("pages not archived", fetched_pages, kept.pages.keys()),
                                 ("pictures not kept", fetched_pictures, kept.pictures.keys())):
        for how, urls in (("though written to the cache", (fetched - saved) & writes.keys()),
                          ("never written to the cache", fetched - saved - writes.keys())):
            if urls:
                listed = sorted(urls)
                print(f"{what}, {how}: {len(listed)}: {', '.join(listed[:8])}" + (" ..." if len(listed) > 8 else ""))
    # The keeper is measured on what the browser wrote: firefox skips storing whole pages when it cannot
    # evict fast enough, which no keeper can make up for. A browser that stores too little to measure
    # (or the site not browsed to its end) fails all the same.
    met = (len(fetched_pages) == site.pages and written_share >= args.min_written
           and kept_share >= args.min_pictures and not kept.stray_pictures and written_pages <= archived
           and complete & archived <= whole and code == 0)
    print("targets met" if met else "TARGETS NOT MET")
    return met


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--browser", choices=sorted(BROWSER_COMMANDS), required=True)
    parser.add_argument("--cli", required=True, help="the webgleaner-cli to measure")
    parser.add_argument("--pages", type=int, default=200, help="pages of the site (default 200)")
    parser.add_argument("--pictures", type=int, default=10, help="pictures a page (default 10)")
    parser.add_argument("--pace", type=int, default=400,
                        help="ms a page waits after its load before moving on (default 400)")
    parser.add_argument("--cache-mb", type=int, default=4, help="the browser's disk cache size (default 4)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"port of the site (default {DEFAULT_PORT})")
    parser.add_argument("--keeper", choices=["watch", "run"], default="watch",
                        help="watch (default), or run: the one-shot command over and over, as a stand-in")
    parser.add_argument("--linger", type=float, default=3.0,
                        help="s the keeper keeps on after the last page (default 3)")
    parser.add_argument("--min-pictures", type=float, default=99.0,
                        help="share of the pictures written to the cache to keep byte-exact, in %% (default 99)")
    parser.add_argument("--min-written", type=float, default=90.0,
                        help="share of the fetched pictures the browser must write to its cache, in %% (default 90)")
    parser.add_argument("--work", help="new or empty folder for everything (default: a temporary one, removed)")
    parser.add_argument("--keep-work", action="store_true", help="leave the temporary work folder in place")
    args = parser.parse_args()

    command = BROWSER_COMMANDS[args.browser]
    if shutil.which(command) is None:
        print(f"SKIP: {command} is missing (Debian package {command})")
        return SKIP
    if not os.access(args.cli, os.X_OK):
        print(f"{args.cli} is not a program", file=sys.stderr)
        return 2
    # A stop from outside (ctest's timeout, Ctrl+C) ends the browser and the keeper through the finally blocks.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda *_: sys.exit(1))

    temporary = args.work is None
    work = Path(args.work or tempfile.mkdtemp(prefix=f"keep-browse-{args.browser}-"))
    if not temporary:
        if work.exists() and any(work.iterdir()):
            print(f"{work} is not empty; name a new folder", file=sys.stderr)
            return 2
        work.mkdir(parents=True, exist_ok=True)
    work = work.resolve()
    try:
        return 0 if measure(args, work) else 1
    except (Failure, TimeoutError, RuntimeError, OSError, subprocess.SubprocessError) as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    finally:
        if temporary and not args.keep_work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
