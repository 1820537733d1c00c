# Shared settings for the tools/ scripts; sourced, not run.
# The settings are read by the scripts that source it:
# shellcheck shell=bash disable=SC2034

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
  best="$(printf '%s\n' "$root"/versions/3.10.* | sort -V | tail -n 1)"
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

# Interpreters built from Debian's source packages, their test tools and the
# private apt state all live in a cache outside the checkout, reused across runs.
KOVRA_CACHE="${KOVRA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kovra}"
# Versions built from source (or, failing that, unpacked from Debian's binary
# packages), and the Debian suites whose source package is tried, in order. A
# trailing d is that version's debug build (python3.14d).
KOVRA_BUILT_VERSIONS=(3.13 3.14 3.15 3.14d 3.15d)
kovra_source_suites() {
  case "${1%d}" in
    3.13) echo trixie ;;
    *) echo sid ;;
  esac
}
# The suite whose pure-Python pytest, hypothesis and PyYAML suit that interpreter.
kovra_tools_suite() {
  case "${1%d}" in
    3.13) echo trixie ;;
    *) echo sid ;;
  esac
}
kovra_prefix() { echo "$KOVRA_CACHE/python$1"; }
# A source build installs into bin/; an interpreter unpacked from binary packages
# keeps Debian's usr/bin/.
kovra_python() {
  local prefix="$KOVRA_CACHE/python$1"
  if [ -x "$prefix/usr/bin/python$1" ]; then
    echo "$prefix/usr/bin/python$1"
  else
    echo "$prefix/bin/python$1"
  fi
}
kovra_venv() { echo "$KOVRA_ROOT/.venv${1/./}"; }

# apt-get/apt-cache through a private source list and state: the machine's own
# apt configuration is left alone. The mirror is the one the machine already uses.
KOVRA_APT_DIR="$KOVRA_CACHE/apt"
kovra_apt_opts() {
  echo "-o Dir::Etc::sourcelist=$KOVRA_APT_DIR/sources.list -o Dir::Etc::sourceparts=$KOVRA_APT_DIR/sources.list.d" \
       "-o Dir::Etc::preferencesparts=$KOVRA_APT_DIR/preferences.d" \
       "-o Dir::State=$KOVRA_APT_DIR/state -o Dir::Cache=$KOVRA_APT_DIR/cache" \
       "-o APT::Sandbox::User=root"
}
kovra_mirror() {
  local f uri=""
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # The first deb822 entry whose suites are the release's own (not -security).
    uri="$(awk 'BEGIN{RS=""} /Suites:[^\n]*(bookworm|trixie|stable)( |\n|$)/ && !/security/ {
             if (match($0, /URIs: *[^ \n]+/)) { print substr($0, RSTART+6, RLENGTH-6); exit } }' "$f" | tr -d ' ')"
    [ -n "$uri" ] && break
  done
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri="$(awk '$1=="deb" && $0 !~ /security/ { for (i=2;i<=NF;i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)"
  fi
  [ -n "$uri" ] || { echo "no Debian mirror found in /etc/apt" >&2; return 1; }
  echo "$uri"
}
# Writes the private list (deb and deb-src for the suites named) and refreshes its
# indexes once a day.
kovra_apt_prepare() {
  local uri suite list want
  uri="$(kovra_mirror)" || return 1
  mkdir -p "$KOVRA_APT_DIR"/{sources.list.d,preferences.d,state/lists/partial,cache/archives/partial}
  want=""
  for suite in trixie sid; do
    want+="deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main"$'\n'
    want+="deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main"$'\n'
  done
  list="$KOVRA_APT_DIR/sources.list"
  if [ "$(cat "$list" 2>/dev/null)"$'\n' != "$want" ]; then
    printf '%s' "$want" > "$list"
    rm -f "$KOVRA_APT_DIR/updated"
  fi
  if [ -z "$(find "$KOVRA_APT_DIR/updated" -mmin -1440 2>/dev/null)" ]; then
    # shellcheck disable=SC2046
    apt-get $(kovra_apt_opts) update -q >"$KOVRA_APT_DIR/update.log" 2>&1 \
      || { cat "$KOVRA_APT_DIR/update.log" >&2; return 1; }
    touch "$KOVRA_APT_DIR/updated"
  fi
}
kovra_apt_get() {
  # shellcheck disable=SC2046
  apt-get $(kovra_apt_opts) "$@"
}
