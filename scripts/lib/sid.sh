# Shared by the test scripts (sourced, not run): the CPython releases this
# machine lacks, from Debian's newest release (sid), in a minimal root made
# with debootstrap and kept in build/sid (VORLANE_SID_ROOT names another).
# Making and entering it needs root. Commands run there in a mount namespace
# of their own, with the source tree mounted at /src: the mounts go away with
# the command, however it ends, so nothing of them is left to remove.

vorlane_sid_packages=(
  python3.14-dev python3.14-venv python3.14-dbg
  python3.15-dev python3.15-venv python3.15-dbg
  g++ binutils ca-certificates
)

# vorlane_sid_root: the root's path.
vorlane_sid_root() {
  echo "${VORLANE_SID_ROOT:-$root/build/sid}"
}

# The first Debian mirror the host's apt uses, so that no address is written
# here: the same one serves sid.
vorlane_debian_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed -n 's/^URIs: *\([^ ]*\).*/\1/p' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' "$f"
  done
  return 0
} 2>/dev/null

# vorlane_need_sid WHO: makes the root when it is missing and installs the
# packages it lacks; stops with one line when that cannot be done here.
vorlane_need_sid() {
  local who=$1 sid mirror
  sid=$(vorlane_sid_root)
  if [ "$(id -u)" != 0 ]; then
    echo "$who: CPython 3.14 and 3.15 come from a Debian sid root made with debootstrap, which needs root; run as root, or name the interpreters to use with VORLANE_PYTHONS" >&2
    return 1
  fi
  if [ ! -x "$sid/usr/bin/apt-get" ]; then
    vorlane_need_system "$who" 'PATH=/usr/sbin:/sbin:$PATH command -v debootstrap >/dev/null' debootstrap || return 1
    command -v unshare >/dev/null || { echo "$who: unshare (util-linux) is missing" >&2; return 1; }
    mirror=$(vorlane_debian_mirror | grep -v -e security -e '^file:' | head -n 1)
    [ -n "$mirror" ] || { echo "$who: no Debian mirror found in /etc/apt to make the sid root from" >&2; return 1; }
    echo "$who: making a minimal Debian sid root in $sid (debootstrap, about a minute)"
    rm -rf "$sid.new"
    mkdir -p "$(dirname "$sid")"
    if ! PATH=/usr/sbin:/sbin:$PATH debootstrap --variant=minbase sid "$sid.new" "$mirror" >"$sid.log" 2>&1; then
      tail -n 20 "$sid.log" >&2
      echo "$who: debootstrap failed; log in $sid.log" >&2
      return 1
    fi
    # The mirror here may serve sid as of an earlier day.
    echo 'Acquire::Check-Valid-Until "false";' >"$sid.new/etc/apt/apt.conf.d/99vorlane"
    # Only a finished root gets the name, so a broken one is never taken.
    mv "$sid.new" "$sid"
  fi
  # The host's name service and its certificate authorities (a proxy's own
  # is trusted there too), fresh on every run.
  cp -L /etc/resolv.conf "$sid/etc/resolv.conf"
  mkdir -p "$sid/usr/local/share/ca-certificates"
  cp -L /usr/local/share/ca-certificates/*.crt "$sid/usr/local/share/ca-certificates/" 2>/dev/null || true
  if ! vorlane_sid_run 'dpkg-query -W -f="\${Status}\n" "$@" 2>/dev/null | grep -c "install ok installed" | grep -qx $#' \
       "${vorlane_sid_packages[@]}"; then
    echo "$who: installing ${vorlane_sid_packages[*]} in the sid root (apt-get)"
    if ! vorlane_sid_run 'export DEBIAN_FRONTEND=noninteractive; apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@"' \
         "${vorlane_sid_packages[@]}" >"$sid.apt.log" 2>&1; then
      tail -n 20 "$sid.apt.log" >&2
      echo "$who: apt-get failed in the sid root; log in $sid.apt.log" >&2
      return 1
    fi
  fi
  vorlane_sid_run 'update-ca-certificates >/dev/null 2>&1' || true
}

# vorlane_sid_run COMMAND [ARGS...]: runs the bash COMMAND as root in the sid
# root, with ARGS as its positional parameters, the source tree at /src and a
# plain environment (pip's certificate and index settings are the host's own
# paths, so they stay behind).
vorlane_sid_run() {
  local sid cmd=$1
  sid=$(vorlane_sid_root)
  shift
  mkdir -p "$sid/src"
  unshare --mount --propagation private -- /bin/sh -c '
    sid=$1 src=$2
    shift 2
    mount -t proc proc "$sid/proc" && mount --rbind /dev "$sid/dev" && mount --bind "$src" "$sid/src" || exit 1
    exec chroot "$sid" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"' \
    sh "$sid" "$root" /bin/bash -c "$cmd" bash "$@"
}

# vorlane_sid_describe PYTHON: "Python X.Y.Z, Debian package NAME VERSION
# (sid root PATH, made DATE)" for an interpreter of the root.
vorlane_sid_describe() {
  local sid
  sid=$(vorlane_sid_root)
  vorlane_sid_run 'py=$1; pkg=${py#/usr/bin/}; pkg=${pkg%d}; case $1 in *d) pkg=$pkg-dbg;; esac
    printf "%s, Debian package %s %s" "$("$py" -VV | head -n 1)" "$pkg" "$(dpkg-query -W -f="\${Version}" "$pkg")"' "$1"
  echo " (sid root $sid, made $(date -u -r "$sid/etc/apt/apt.conf.d/99vorlane" +%F))"
}
