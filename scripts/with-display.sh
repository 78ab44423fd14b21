#!/usr/bin/env bash
# Runs a command with an X display: the caller's when it has one, otherwise a private Xvfb.
set -euo pipefail
if [ -n "${DISPLAY:-}" ] && [ -z "${TOLVARIN_XVFB:-}" ]; then
  exec "$@"
fi
# TOLVARIN_XVFB_SCREEN: the private screen's size (a window at 200 % needs a larger one).
exec xvfb-run -a -s "-screen 0 ${TOLVARIN_XVFB_SCREEN:-1024x768}x24" "$@"
