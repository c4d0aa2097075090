# Shared by the set-up and test scripts (sourced, not run): finding Python
# interpreters and the system packages a build needs.
#
# Interpreters are looked for in an active virtual environment, on PATH and
# in pyenv's versions folder ($PYENV_ROOT/versions, default ~/.pyenv). Only
# CPython 3.12 or newer with a working venv module counts. VORLANE_PYTHONS
# selects them: a list of versions ("3.12 3.13") or interpreter paths.

# Prints "VERSION PATH" for every suitable interpreter, one a line, each
# real interpreter once, in the order found.
vorlane_list_pythons() {
  local candidates=() seen=" " p out real ver dir
  [ -n "${VIRTUAL_ENV:-}" ] && candidates+=("$VIRTUAL_ENV/bin/python")
  local IFS=:
  for dir in $PATH; do
    # pyenv's shims answer for versions that are not selected with an
    # error; its versions folder below finds those directly.
    case $dir in */.pyenv/shims | "${PYENV_ROOT:-/nonexistent}/shims") continue ;; esac
    for p in "$dir"/python3.[0-9]* "$dir"/python3; do
      case $p in *-config | *m) continue ;; esac
      [ -x "$p" ] && candidates+=("$p")
    done
  done
  unset IFS
  for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3; do
    [ -x "$p" ] && candidates+=("$p")
  done
  for p in "${candidates[@]}"; do
    out=$("$p" -c 'import sys, os, venv
if sys.implementation.name == "cpython" and sys.version_info >= (3, 12):
    print("%d.%d.%d" % sys.version_info[:3], os.path.realpath(sys.executable))' 2>/dev/null) || continue
    [ -n "$out" ] || continue
    real=${out#* }
    case $seen in *" $real "*) continue ;; esac
    seen="$seen$real "
    echo "${out% *} $p"
  done
}

# vorlane_pick_python SELECTOR: the interpreter for one entry of
# VORLANE_PYTHONS (a path, or X.Y: the newest X.Y.* found).
vorlane_pick_python() {
  local want=$1 ver p best= bestver=
  if [[ $want == */* ]]; then
    [ -x "$want" ] && "$want" -c 'import sys, venv; sys.exit(sys.version_info < (3, 12))' 2>/dev/null &&
      { echo "$want"; return 0; }
    return 1
  fi
  while read -r ver p; do
    [[ $ver == "$want".* ]] || continue
    if [ -z "$best" ] || vorlane_version_lt "$bestver" "$ver"; then best=$p; bestver=$ver; fi
  done < <(vorlane_list_pythons)
  [ -n "$best" ] && echo "$best"
}

# vorlane_newest_python: the newest suitable interpreter of all found.
vorlane_newest_python() {
  local ver p best= bestver=
  while read -r ver p; do
    if [ -z "$best" ] || vorlane_version_lt "$bestver" "$ver"; then best=$p; bestver=$ver; fi
  done < <(vorlane_list_pythons)
  [ -n "$best" ] && echo "$best"
}

vorlane_version_lt() {
  [ "$1" != "$2" ] && [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | head -n 1)" = "$1" ]
}

vorlane_python_version() {
  "$1" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])'
}

vorlane_no_python() {
  echo "$1: no CPython $2 found (looked in \$VIRTUAL_ENV, on PATH and in ${PYENV_ROOT:-$HOME/.pyenv}/versions); install one (e.g. 'pyenv install ${3:-$2}') or name it with VORLANE_PYTHONS=/path/to/python3" >&2
}

# vorlane_need_system WHO CHECK PACKAGE...: when the shell test CHECK fails,
# installs the Debian packages with apt-get where that is possible (root,
# apt-get present), or stops with one line naming what to install.
vorlane_need_system() {
  local who=$1 check=$2
  shift 2
  eval "$check" && return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "$who: installing $* (apt-get)"
    # dpkg wants the sbin folders, which a plain user PATH may lack.
    if ! PATH=/usr/local/sbin:/usr/sbin:/sbin:$PATH DEBIAN_FRONTEND=noninteractive \
         bash -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@"' _ "$@" \
         >"${TMPDIR:-/tmp}/vorlane-apt.log" 2>&1; then
      tail -n 20 "${TMPDIR:-/tmp}/vorlane-apt.log" >&2
      echo "$who: could not install $* with apt-get" >&2
      return 1
    fi
    eval "$check" && return 0
  fi
  echo "$who: missing $*: install with 'sudo apt-get install $*' (or your system's equivalent)" >&2
  return 1
}

# A C++20 compiler: the build uses g++ unless CXX names another.
vorlane_need_compiler() {
  if [ -n "${CXX:-}" ]; then
    command -v "${CXX%% *}" >/dev/null && return 0
    echo "$1: CXX=$CXX is not an executable compiler" >&2
    return 1
  fi
  vorlane_need_system "$1" 'command -v g++ >/dev/null' g++
}

# cmake (3.21 or newer) and ninja on PATH: from the system when it has them,
# otherwise from PyPI into build/venv-tools (no system pip needed).
vorlane_need_cmake_ninja() {
  local who=$1 root=$2 py=$3 tools=$2/build/venv-tools
  if command -v ninja >/dev/null && command -v cmake >/dev/null &&
     ! vorlane_version_lt "$(cmake --version | sed -n '1s/[^0-9]*\([0-9.]*\).*/\1/p')" 3.21; then
    return 0
  fi
  if [ ! -x "$tools/bin/cmake" ] || [ ! -x "$tools/bin/ninja" ]; then
    echo "$who: cmake or ninja missing or too old; installing both from PyPI into build/venv-tools"
    "$py" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check cmake ninja
  fi
  export PATH=$tools/bin:$PATH
}

# vorlane_install_project ROOT VENV EXTRAS [PIP ARGS...]: installs the project
# at ROOT into VENV without build isolation (so PIP ARGS such as -C options
# reach its build), with the extras EXTRAS (comma-separated, may be empty).
# Its dependencies and build requirements are installed first, each built
# with isolation as pip normally does: --no-build-isolation applies to every
# package of one install, and a dependency published only as source (pyspark)
# needs its own build requirements.
vorlane_install_project() {
  local root=$1 venv=$2 extras=$3
  shift 3
  local out deps
  out=$("$venv/bin/python" - "$root/pyproject.toml" "$extras" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    project = tomllib.load(f)
print(*project["build-system"]["requires"], sep="\n")
for extra in filter(None, sys.argv[2].split(",")):
    print(*project["project"]["optional-dependencies"][extra], sep="\n")
PY
  ) || return 1
  mapfile -t deps <<<"$out"
  # cmake and ninja too: the build runs without isolation and the system
  # may have neither.
  "$venv/bin/python" -m pip install -q --disable-pip-version-check cmake ninja "${deps[@]}" || return 1
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    "$@" "$root" || return 1
}

# vorlane_hypothesis_tables PYTHON DIR: Hypothesis works out its tables of
# Unicode characters the first time a test draws text, and keeps them in
# DIR/.hypothesis (the tests' working directory). Seconds in a plain run,
# a minute or more under memcheck or AddressSanitizer: such runs have them
# made first, by PYTHON without either.
vorlane_hypothesis_tables() {
  (cd "$2" && "$1" -c 'from hypothesis import given, strategies as st
given(st.text(min_size=1), st.characters(min_codepoint=0x80, blacklist_categories=["Cs"]))(lambda a, b: None)()')
}
