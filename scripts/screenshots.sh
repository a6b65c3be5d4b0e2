#!/usr/bin/env bash
# Takes README's screenshots from the running application under Xvfb: a sample
# configuration with two folder sources made of the sample mailbox, the archive view while
# its jobs run and after they finished. Usage: scripts/screenshots.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=docs/screenshots
mkdir -p "$out"
shot() { # name, milliseconds after start[, text searched everywhere]; each from a fresh configuration
  local work
  work=$(mktemp -d)
  mkdir -p "$work/config" "$work/tmp" "$work/Archive" "$work/Mail"
  cp -r samples/mailbox "$work/Mail/Inbox"
  cp -r samples/mailbox "$work/Mail/Receipts"
  (
    # The search index and thumbnails of the run stay in it, not in the user's cache.
    export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" TMPDIR="$work/tmp" TZ=UTC LANG=C.UTF-8
    "$build/tarnwick" config set-destination "$work/Archive" >/dev/null
    "$build/tarnwick" sources add-folder "$work/Mail/Inbox" >/dev/null
    "$build/tarnwick" sources add-folder "$work/Mail/Receipts" >/dev/null
    if [ -n "${3:-}" ]; then
      # The search view needs an archive to search: both sources archived first.
      "$build/tarnwick" archive --all >/dev/null
      TARNWICK_SCREENSHOT="$PWD/$out/$1.png" TARNWICK_SCREENSHOT_SEARCH="$3" TARNWICK_SCREENSHOT_AFTER_MS="$2" \
        xvfb-run -a -s "-screen 0 1024x768x24" "$build/tarnwick" gui
    else
      TARNWICK_SCREENSHOT="$PWD/$out/$1.png" TARNWICK_SCREENSHOT_START_ALL=1 TARNWICK_SCREENSHOT_AFTER_MS="$2" \
        xvfb-run -a -s "-screen 0 1024x768x24" "$build/tarnwick" gui
    fi
  )
  rm -rf "$work"
}
shot archive-view-running 6500
shot archive-view-finished 20000
shot search-view 6000 "Grüße"
echo "screenshots in $out"
