#!/bin/sh
# Opens a run's WACZ package in ReplayWeb.page in Debian's headless chromium (replay-check.mjs): the page
# replays with its pictures, and the viewer finds it by a word of its text. Skips where chromium, node,
# npm or the packages are missing.
#
# Usage: check-replay.sh CLI TEST_DATA WORK_FOLDER
set -u
cli=$1 data=$2 work=$3
command -v chromium >/dev/null 2>&1 || { echo "SKIP: chromium is missing (Debian package chromium)"; exit 77; }
. "$(dirname "$0")/npm-clients.sh"
run="$work/replay-run"

harvest chromium-pages/Cache_Data --warc "$run/run.warc.gz" --wacz "$run/run.wacz"
[ -s "$run/run.wacz" ] || { cat "$run/cli.log"; echo "FAIL: no package"; exit 1; }
# The addresses that have a record: only pictures without one may stay blank.
"$clients/node_modules/.bin/warcio" index "$run/run.warc.gz" |
    sed -n 's/.*"warc-target-uri":"\([^"]*\)".*/\1/p' >"$run/recorded.txt"
[ -s "$run/recorded.txt" ] || { echo "FAIL: warcio listed no record"; exit 1; }
# "样式来自" is in the text of forms.html only, not in its title nor in any other page.
exec node "$(dirname "$0")/replay-check.mjs" \
    "$clients/node_modules/puppeteer-core/lib/esm/puppeteer/puppeteer-core.js" "$replaywebpage" "$run/run.wacz" \
    "$run/recorded.txt" http://127.0.0.1:18437/forms.html 样式来自 "引用形式样本 reference forms" "框架页 frame"
