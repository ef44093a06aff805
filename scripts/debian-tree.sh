#!/usr/bin/env bash
# Builds the project and runs the plain test suite inside a minimal tree of
# another Debian release, to check that the same source builds and passes
# with that release's FFmpeg and compilers.
#
#   scripts/debian-tree.sh [SUITE]     SUITE: trixie (default), forky, ...
#
# The tree is made with debootstrap from the Debian archive that this
# machine's own apt sources name, and kept between runs in
# $MPEGEXPORTER_TREE_CACHE/SUITE (default /var/cache/mpegexporter/SUITE),
# which this script owns. It is made again when it is missing, unfinished
# (no stamp, which is written last) or older than a week. The source is
# copied into the tree and built there in a build directory of its own;
# /proc and /dev are mounted only while the tree is in use.
set -euo pipefail

suite=${1:-trixie}
[ "$(id -u)" -eq 0 ] || exec sudo -- "$0" "$@"

clone=$(cd "$(dirname "$0")/.." && pwd)
cache=${MPEGEXPORTER_TREE_CACHE:-/var/cache/mpegexporter}/$suite
tree=$cache/tree
stamp=$cache/complete
max_age_days=7
jobs=$(nproc)

# Runs a step and says how long it took.
step() {
  local name=$1 start=$SECONDS; shift
  echo "== ${suite}: ${name}"
  "$@"
  echo "== ${suite}: ${name} took $((SECONDS - start)) s"
}

# The URL of the Debian archive that serves this machine's own release, from
# its apt sources: one-line entries in sources.list and *.list, deb822
# stanzas in *.sources.
archive_url() {
  local codename files=()
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do [ -f "$f" ] && files+=("$f"); done
  {
    [ ${#files[@]} -eq 0 ] || awk -v codename="$codename" '
      $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == codename) print $i
      }' "${files[@]}"
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      awk -v codename="$codename" '
        BEGIN { RS = "" }
        {
          types = uris = suites = ""; enabled = 1
          n = split($0, lines, "\n")
          for (k = 1; k <= n; k++) {
            if (lines[k] ~ /^#/) continue
            if (lines[k] ~ /^Types:/) types = " " substr(lines[k], 7) " "
            if (lines[k] ~ /^URIs:/) uris = substr(lines[k], 6)
            if (lines[k] ~ /^Suites:/) suites = " " substr(lines[k], 8) " "
            if (lines[k] ~ /^Enabled:[ \t]*no/) enabled = 0
          }
          if (enabled && types ~ /[ \t]deb[ \t]/ && suites ~ ("[ \t]" codename "[ \t]")) {
            split(uris, u, /[ \t]+/)
            print (u[1] != "" ? u[1] : u[2])
          }
        }' "$f"
    done
  } | head -n 1
}

# Unmounts whatever is mounted inside the tree, innermost first.
unmount_tree() {
  local mounts
  mounts=$(awk -v root="$tree/" 'index($2 "/", root) == 1 { print $2 }' /proc/mounts | sort -r)
  for m in $mounts; do umount -l "$m" || true; done
}

make_tree() {
  command -v debootstrap >/dev/null || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
  }
  local url script=()
  url=$(archive_url)
  [ -n "$url" ] || { echo "no Debian archive found in this machine's apt sources" >&2; exit 1; }
  # A suite this debootstrap does not know yet (testing) is made with its
  # script for unstable.
  [ -e "/usr/share/debootstrap/scripts/$suite" ] || script=(/usr/share/debootstrap/scripts/sid)
  unmount_tree
  rm -rf --one-file-system "$cache"
  mkdir -p "$cache"
  debootstrap --variant=minbase "$suite" "$tree" "$url" "${script[@]}"
  # Testing's Release file can be past its Valid-Until date; stable's has none.
  if [ ${#script[@]} -gt 0 ] || [ "$suite" = testing ] || [ "$suite" = sid ] || [ "$suite" = unstable ]; then
    echo 'Acquire::Check-Valid-Until "false";' >"$tree/etc/apt/apt.conf.d/99mpegexporter-valid-until"
  fi
  touch "$stamp"
}

# One run per tree at a time.
mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock"
flock 9

if [ -z "$(find "$stamp" -maxdepth 0 -mtime -"$max_age_days" 2>/dev/null)" ]; then
  step "debootstrap (no usable tree in $cache)" make_tree
fi

trap unmount_tree EXIT
trap "exit 130" INT TERM HUP
mount -t proc proc "$tree/proc"
mount --rbind /dev "$tree/dev"
mount --make-rslave "$tree/dev"

# The source goes to /root/mpegexporter in the tree (build directories and
# git metadata left behind); the build to /root/build, kept between runs.
# Only files whose content changed are replaced, with the current time, so
# the next build recompiles exactly what changed since the last run.
copy_source() {
  local incoming=$tree/root/incoming dest=$tree/root/mpegexporter
  rm -rf "$incoming"
  mkdir -p "$incoming" "$dest"
  tar -C "$clone" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$incoming" -xf -
  (cd "$incoming" && find . ! -type d -print0) | while IFS= read -r -d '' f; do
    if ! cmp -s "$incoming/$f" "$dest/$f"; then
      mkdir -p "$(dirname "$dest/$f")"
      rm -f "$dest/$f"
      cp -P "$incoming/$f" "$dest/$f"
    fi
  done
  (cd "$dest" && find . -path './build*' -prune -o ! -type d -print0) | while IFS= read -r -d '' f; do
    [ -e "$incoming/$f" ] || [ -L "$incoming/$f" ] || rm -f "$dest/$f"
  done
  rm -rf "$incoming"
}

# Tools in the tree that fetch over TLS (npm, for the browser check) trust
# what this machine trusts: machines that reach the registries through an
# intercepting proxy add its certificate to their own store only.
host_ca=/usr/local/share/mpegexporter/host-ca-certificates.crt
share_trust() {
  [ -f /etc/ssl/certs/ca-certificates.crt ] || return 0
  install -D -m 644 /etc/ssl/certs/ca-certificates.crt "$tree$host_ca"
}

in_tree() {
  local extra=()
  [ -f "$tree$host_ca" ] && extra=(NODE_EXTRA_CA_CERTS="$host_ca")
  chroot "$tree" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${extra[@]}" \
    bash -c "cd /root/mpegexporter && $1"
}

step "copy the source" copy_source
share_trust
step "scripts/setup.sh" in_tree "./scripts/setup.sh"
# Warnings are errors here: each release's compiler and FFmpeg headers bring
# their own, and the build must stay free of them on every release.
step "configure" in_tree "cmake -S . -B /root/build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-Werror >/dev/null"
step "build" in_tree "cmake --build /root/build -j $jobs"
step "ctest" in_tree "ctest --test-dir /root/build --output-on-failure -j $jobs"
