#!/bin/sh
# Keeping measured with a real browser, on a smaller site than the benchmark's: tools/keep-browse.py with
# 50 pages of 10 pictures each, through a disk cache of 4 MB. Passes when the keeper saved the pictures
# the browser wrote to its cache byte for byte (99 % at least) and every page it wrote as an archive
# holding all its pictures. Skips where python3 or the browser is missing; a hard limit ends a hung run,
# and the script ends the browser and the keeper on every way out.
#
# Usage: check-keep-browse.sh CLI chromium|firefox WORK_FOLDER PORT
set -u
cli=$1 browser=$2 work=$3 port=$4
command -v python3 >/dev/null 2>&1 || { echo "SKIP: python3 is missing"; exit 77; }
rm -rf "$work"
exec timeout -k 20 170 python3 "$(dirname "$0")/../../tools/keep-browse.py" --browser "$browser" --cli "$cli" \
    --pages 50 --pictures 10 --cache-mb 4 --port "$port" --work "$work"
