# Sourced by the checks with real clients: fetches the npm registry's warcio and puppeteer-core, and a built
# ReplayWeb.page, into the build folder (never into the sources), once. Skips (exit 77) where node, npm or
# the registry is missing. Sets $clients (the prefix) and $replaywebpage (the built viewer's folder).
skip() { echo "SKIP: $*"; exit 77; }
command -v node >/dev/null 2>&1 || skip "node is missing (Debian package nodejs)"
command -v npm >/dev/null 2>&1 || skip "npm is missing (Debian package npm)"

clients="$work/npm-clients"
replaywebpage="$clients/replaywebpage/package"
mkdir -p "$clients"
if [ ! -x "$clients/node_modules/.bin/warcio" ] || [ ! -d "$clients/node_modules/puppeteer-core" ]; then
    # One install of all of them: a later install of one alone would remove the others.
    npm install --prefix "$clients" --no-audit --no-fund --no-save warcio puppeteer-core >"$clients/npm.log" 2>&1 ||
        skip "npm could not install warcio and puppeteer-core (see $clients/npm.log)"
fi
if [ ! -f "$replaywebpage/ui.js" ]; then
    mkdir -p "$clients/replaywebpage" &&
        (cd "$clients/replaywebpage" && npm pack replaywebpage >>"$clients/npm.log" 2>&1 && tar xzf replaywebpage-*.tgz) ||
        skip "npm could not fetch replaywebpage (see $clients/npm.log)"
fi

# Runs the program's run command over `cache` (a fixture) with a plan for pages and pictures, with the
# further options given; leaves its output in $run. Exit code 1 only says some entry has no record.
harvest() {
    cache=$1
    shift
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
    HOME="$run/home" "$cli" run --quiet --plans "$run/plans.ini" --cache "$data/caches/$cache" "$@" >"$run/cli.log" 2>&1
    code=$?
    if [ "$code" -gt 1 ]; then
        cat "$run/cli.log"
        echo "FAIL: the run on $cache failed (exit code $code)"
        exit 1
    fi
}
