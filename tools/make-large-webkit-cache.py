#!/usr/bin/env python3
"""Make a large GNOME Web (WebKitGTK) network cache, for benchmarks.

Serves the generated site of make-large-cache.py on 127.0.0.1 and has
Debian's epiphany-browser, headless as in make-webkit-fixture.py, open one
driver page that fetches every resource once with parallel fetch() calls.
Once the browser has stopped adding records, the cache is copied to
OUT/WebKitCache. It is not committed: it is too big, and the benchmark reads
it from wherever it was made.

Needs python3 (standard library only), epiphany-browser, xvfb and dbus.
"""

from __future__ import annotations

import argparse
import importlib.util
import shutil
import sys
import tempfile
import time
from pathlib import Path


def _load(name: str, file: str):
    spec = importlib.util.spec_from_file_location(name, Path(__file__).with_name(file))
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up while the file loads
    spec.loader.exec_module(module)
    return module


large = _load("make_large_cache", "make-large-cache.py")
webkit = _load("make_webkit_fixture", "make-webkit-fixture.py")
fixtures = large.fixtures

DEFAULT_PORT = 18441
# The browser writes records a while after it got them; the cache counts as
# written once no record has been added for this long.
SETTLE_SECONDS = 15.0


def record_count(cache: Path) -> int:
    return sum(1 for path in cache.glob("Version */Records/*/Resource/*") if not path.name.endswith("-blob"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="new or empty folder; the cache goes to OUT/WebKitCache")
    parser.add_argument("--entries", type=int, default=20000, help="resources to fetch (default 20000)")
    parser.add_argument("--workers", type=int, default=12, help="parallel fetch() calls (default 12)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"port of the site (default {DEFAULT_PORT})")
    parser.add_argument("--timeout", type=float, default=1800, help="seconds the whole visit may take")
    args = parser.parse_args()
    if shutil.which("epiphany") is None:
        sys.exit("not installed: epiphany (apt-get install epiphany-browser xvfb dbus)")
    out = Path(args.out)
    if out.exists() and any(out.iterdir()):
        sys.exit(f"{out} is not empty; name a new folder")

    started = time.monotonic()
    servers = fixtures.LoopbackServers(args.port, {}, fixtures.ServerLog(), large.LargeSiteHandler)
    try:
        with tempfile.TemporaryDirectory(prefix="webgleaner-epiphany-home-") as home_name:
            home = Path(home_name)
            url = f"http://127.0.0.1:{args.port}/run.html?first=0&count={args.entries}&workers={args.workers}"
            process = webkit.start_epiphany(url, home)
            cache = webkit.cache_folder(home)
            try:
                count, changed = 0, time.monotonic()
                while time.monotonic() - started < args.timeout:
                    time.sleep(2)
                    now = record_count(cache) if cache.is_dir() else 0
                    if now != count:
                        count, changed = now, time.monotonic()
                        print(f"{count:6} records ({time.monotonic() - started:.0f} s)", flush=True)
                    elif count and time.monotonic() - changed > SETTLE_SECONDS:
                        break
                else:
                    print("timed out; copying what there is", file=sys.stderr)
            finally:
                fixtures.stop_process_group(process)
            out.mkdir(parents=True, exist_ok=True)
            shutil.copytree(cache, out / "WebKitCache")
    finally:
        servers.close()
    copied = out / "WebKitCache"
    size = sum(p.stat().st_size for p in copied.rglob("*") if p.is_file())
    print(f"\n{copied}: {record_count(copied)} records, {size / 1e6:.1f} MB, "
          f"made in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
