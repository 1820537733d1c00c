# Shared settings for the tools/ scripts; sourced, not run.

KOVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV310="$KOVRA_ROOT/.venv310"
PY311=/usr/bin/python3
PY311D=/usr/bin/python3.11d
ASAN_PKG="$KOVRA_ROOT/build/asan/pkg"

# pyenv may be missing from PATH (CI), so fall back to its usual home.
kovra_pyenv_root() {
  if command -v pyenv >/dev/null 2>&1; then
    pyenv root
  else
    echo "${PYENV_ROOT:-$HOME/.pyenv}"
  fi
}

# Newest pyenv CPython 3.10; KOVRA_PY310 overrides.
kovra_base310() {
  if [ -n "${KOVRA_PY310:-}" ]; then
    echo "$KOVRA_PY310"
    return
  fi
  local root best
  root="$(kovra_pyenv_root)"
  best="$(ls -d "$root"/versions/3.10.* 2>/dev/null | sort -V | tail -n 1)"
  if [ -z "$best" ] || [ ! -x "$best/bin/python" ]; then
    echo "no CPython 3.10 under $root/versions" >&2
    return 1
  fi
  echo "$best/bin/python"
}

# What the sanitized modules need preloaded into an uninstrumented interpreter.
# libstdc++ comes too: ASan intercepts C++ throws, and finds the real __cxa_throw
# only if libstdc++ is loaded when ASan starts, not later with the module.
kovra_asan_runtime() {
  echo "$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
}
