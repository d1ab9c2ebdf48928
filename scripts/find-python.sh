#!/usr/bin/env bash
# Print the path of a Python 3.13 interpreter, or explain why there is none.
# Looks at $PYTHON, then PATH, then the usual install places (system, /usr/local, pyenv).
set -euo pipefail

is_313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }

candidates=()
[[ -n "${PYTHON:-}" ]] && candidates+=("$PYTHON")
command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)
for root in "${PYENV_ROOT:-$HOME/.pyenv}" /root/.pyenv; do
  for p in "$root"/versions/3.13*/bin/python3.13; do
    [[ -e "$p" ]] && candidates+=("$p")
  done
done
command -v python3 >/dev/null 2>&1 && candidates+=("$(command -v python3)")

for c in "${candidates[@]}"; do
  if [[ -x "$c" ]] && is_313 "$c"; then
    echo "$c"
    exit 0
  fi
done
echo "error: no Python 3.13 found (tried \$PYTHON, python3.13 on PATH, /usr/bin, /usr/local/bin and pyenv)." >&2
echo "Install Python 3.13, or point PYTHON at one: make test PYTHON=/path/to/python3.13" >&2
exit 1
