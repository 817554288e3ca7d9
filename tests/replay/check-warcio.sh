#!/bin/sh
# Reads a run's web archive with warcio, a reader from the npm registry that no one here wrote: its
# indexer must go through every record without an error, and its CDX indexer must list every response.
# Skips (exit 77) where node, npm or the package cannot be had; the package is fetched into the build
# folder, never into the sources.
#
# Usage: check-warcio.sh CLI TEST_DATA WORK_FOLDER
set -u
cli=$1 data=$2 work=$3

skip() { echo "SKIP: $*"; exit 77; }
command -v node >/dev/null 2>&1 || skip "node is missing (Debian package nodejs)"
command -v npm >/dev/null 2>&1 || skip "npm is missing (Debian package npm)"

clients="$work/npm-clients"
if [ ! -x "$clients/node_modules/.bin/warcio" ]; then
    mkdir -p "$clients"
    npm install --prefix "$clients" --no-audit --no-fund --no-save warcio >"$clients/npm.log" 2>&1 ||
        skip "npm could not install warcio (see $clients/npm.log)"
fi
warcio="$clients/node_modules/.bin/warcio"

run="$work/warcio-run"
rm -rf "$run" && mkdir -p "$run/home" "$run/saved" || exit 1
cat >"$run/plans.ini" <<PLANS
[name]
n1=key1
n2=key2
[key1]
name=pages
ztype=0
tpname=*.htm(html)
savpath=$run/saved
[key2]
name=pictures
ztype=1
tpname=*.png,*.gif,*.jpg(jpeg),*.svg,*.webp
savpath=$run/saved
PLANS
for cache in chromium-pages/Cache_Data chromium-simple/Cache_Data firefox-cache2; do
    rm -f "$run/run.warc.gz"
    # Exit code 1 says some entry has no record (a 206, say): counted, not a broken archive.
    HOME="$run/home" "$cli" run --quiet --plans "$run/plans.ini" --cache "$data/caches/$cache" \
        --warc "$run/run.warc.gz" >"$run/cli.log" 2>&1
    code=$?
    if [ "$code" -gt 1 ] || [ ! -s "$run/run.warc.gz" ]; then
        cat "$run/cli.log"; echo "FAIL: the run on $cache made no archive (exit code $code)"; exit 1
    fi

    if ! "$warcio" index "$run/run.warc.gz" >"$run/index.jsonl" 2>"$run/index.err" || [ -s "$run/index.err" ]; then
        cat "$run/index.err"; echo "FAIL: warcio index could not read the archive of $cache"; exit 1
    fi
    records=$(grep -c '"warc-type"' "$run/index.jsonl")
    responses=$(grep -c '"warc-type":"response"' "$run/index.jsonl")
    if ! "$warcio" cdx-index "$run/run.warc.gz" >"$run/index.cdxj" 2>"$run/cdx.err" || [ -s "$run/cdx.err" ]; then
        cat "$run/cdx.err"; echo "FAIL: warcio cdx-index could not read the archive of $cache"; exit 1
    fi
    listed=$(grep -c '"status":"200"' "$run/index.cdxj")
    echo "$cache: $records records, $responses responses, $listed listed by cdx-index"
    [ "$responses" -gt 0 ] && [ "$listed" -ge "$responses" ] || { echo "FAIL: responses missing from the index"; exit 1; }
done
echo "warcio read every record"
