#!/usr/bin/env bash
# Prints the newest suitable interpreter: python3.14t, python3.14, python3.13t,
# python3.13, on PATH or among pyenv's installed versions (a pyenv shim for a
# version that pyenv has not selected fails, so every candidate is run once).
set -u
candidates=(python3.14t python3.14 python3.13t python3.13)
roots=()
if command -v pyenv >/dev/null 2>&1; then roots+=("$(pyenv root)/versions"); fi
[ -d "$HOME/.pyenv/versions" ] && roots+=("$HOME/.pyenv/versions")
for name in "${candidates[@]}"; do
  if command -v "$name" >/dev/null 2>&1 && "$name" -c 'import sys' >/dev/null 2>&1; then
    command -v "$name"; exit 0
  fi
  for root in "${roots[@]}"; do
    for exe in "$root"/*/bin/"$name"; do
      if [ -x "$exe" ] && "$exe" -c 'import sys' >/dev/null 2>&1; then echo "$exe"; exit 0; fi
    done
  done
done
echo "no suitable Python (3.14t, 3.14, 3.13t or 3.13) found" >&2
exit 1
