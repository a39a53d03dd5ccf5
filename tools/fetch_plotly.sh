#!/usr/bin/env bash
# Fetches the plotting library the HTML report inlines again, from the npm registry, into the package's
# report/assets folder: the minified basic bundle of plotly.js (scatter, bar and pie traces) and its licence.
#
#   tools/fetch_plotly.sh [VERSION]     (default: the version written in report/assets/plotly.version)
#
# Needs npm (on the host, not in the development root). After a new version, look at a report in a browser and
# run tests/python/test_report_browser.py before committing.
set -euo pipefail

assets=$(cd "$(dirname "${BASH_SOURCE[0]}")/../python/cladomatic_tools/report/assets" && pwd)
package=plotly.js-basic-dist-min
version=${1:-$(cat "$assets/plotly.version")}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && npm pack --silent "$package@$version" >/dev/null)
tar -xzf "$work/$package-$version.tgz" -C "$work"
cp "$work/package/plotly-basic.min.js" "$assets/plotly-basic.min.js"
cp "$work/package/LICENSE" "$assets/plotly.LICENSE"
echo "$version" >"$assets/plotly.version"
echo "fetch_plotly: $package $version into $assets" >&2
