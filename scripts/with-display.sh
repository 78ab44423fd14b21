#!/usr/bin/env bash
# Runs a command with an X display: the caller's when it has one, otherwise a private Xvfb.
set -euo pipefail
if [ -n "${DISPLAY:-}" ] && [ -z "${TOLVARIN_XVFB:-}" ]; then
  exec "$@"
fi
exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
