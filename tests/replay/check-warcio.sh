#!/bin/sh
# Reads a run's web archive with warcio, a reader from the npm registry that no one here wrote: its
# indexer must go through every record without an error, and its CDX indexer must list every response.
#
# Usage: check-warcio.sh CLI TEST_DATA WORK_FOLDER
set -u
cli=$1 data=$2 work=$3
. "$(dirname "$0")/npm-clients.sh"
warcio="$clients/node_modules/.bin/warcio"
run="$work/warcio-run"

for cache in chromium-pages/Cache_Data chromium-simple/Cache_Data firefox-cache2; do
    harvest "$cache" --warc "$run/run.warc.gz"
    [ -s "$run/run.warc.gz" ] || { cat "$run/cli.log"; echo "FAIL: no archive of $cache"; exit 1; }
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
