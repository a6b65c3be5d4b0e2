#!/usr/bin/env bash
# Takes README's screenshots from the running application under Xvfb: a sample
# configuration with two folder sources made of the sample mailbox, the archive view while
# its jobs run and after they finished, the search view over the archived mailbox, the
# settings view with a folder source, the path format editor, and an account with its
# mailbox list. Usage: scripts/screenshots.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=docs/screenshots
mkdir -p "$out"
shot() { # name, milliseconds after start, then VAR=value settings of the shot (a "WORK/"
  # in them is the shot's own folder; ARCHIVE_FIRST=1 archives both sources before the
  # window opens); every shot starts from a fresh configuration
  local work name=$1 after=$2
  shift 2
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
    if [[ " $* " == *" ARCHIVE_FIRST=1 "* ]]; then
      "$build/tarnwick" archive --all >/dev/null
    fi
    TARNWICK_SCREENSHOT="$PWD/$out/$name.png" TARNWICK_SCREENSHOT_AFTER_MS="$after" \
      env "${@//WORK\//$work/}" xvfb-run -a -s "-screen 0 1024x768x24" "$build/tarnwick" gui
  )
  rm -rf "$work"
}
shot archive-view-running 2200 TARNWICK_SCREENSHOT_START_ALL=1
shot archive-view-finished 20000 TARNWICK_SCREENSHOT_START_ALL=1
shot search-view 6000 ARCHIVE_FIRST=1 TARNWICK_SCREENSHOT_SEARCH=Grüße
shot settings-folder 2500 TARNWICK_SCREENSHOT_SETTINGS=WORK/Mail/Receipts
shot settings-formats 2500 TARNWICK_SCREENSHOT_SETTINGS=General TARNWICK_SCREENSHOT_FORMATS=1
# An account with its mailbox list needs a server: the settings test's own Dovecot and
# keyring (as root, with scripts/install-deps.sh's packages) take that one.
TARNWICK_SCREENSHOT_ACCOUNT="$PWD/$out/settings-account.png" \
  "$build/tests/tarnwick_ui_tests" --gtest_filter='AccountPaneDovecot.*' >/dev/null ||
  echo "settings-account.png not taken: the account test failed or was skipped" >&2
echo "screenshots in $out"
