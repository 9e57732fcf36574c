#!/usr/bin/env bash
# Prints the newest suitable interpreter: python3.14t, python3.14, python3.13t,
# python3.13, on PATH or among pyenv's installed versions (a pyenv shim for a
# version that pyenv has not selected fails, so every candidate is run once).
# With --regular, only interpreters that have a GIL qualify (a free-threaded
# installation also answers to python3.14).
set -u
candidates=(python3.14t python3.14 python3.13t python3.13)
check='import sys'
if [ "${1:-}" = "--regular" ]; then
  candidates=(python3.14 python3.13)
  check='import sys, sysconfig; sys.exit(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))'
fi
roots=()
if command -v pyenv >/dev/null 2>&1; then roots+=("$(pyenv root)/versions"); fi
[ -d "$HOME/.pyenv/versions" ] && roots+=("$HOME/.pyenv/versions")
for name in "${candidates[@]}"; do
  if command -v "$name" >/dev/null 2>&1 && "$name" -c "$check" >/dev/null 2>&1; then
    command -v "$name"; exit 0
  fi
  for root in "${roots[@]}"; do
    for exe in "$root"/*/bin/"$name"; do
      if [ -x "$exe" ] && "$exe" -c "$check" >/dev/null 2>&1; then echo "$exe"; exit 0; fi
    done
  done
done
echo "no suitable Python (${candidates[*]}) found" >&2
exit 1
