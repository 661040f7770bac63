#!/usr/bin/env bash
# Proves that the README's commands work on a fresh Debian machine: builds a
# minimal Debian root (mmdebstrap, from the package sources this machine uses)
# in a temporary folder, clones the checkout's HEAD into it and runs there
#   linux: scripts/run-linux.sh (until the first monitor block) and scripts/test.sh linux
#   wine:  scripts/run-wine.sh  (until the first monitor block) and scripts/test.sh windows
#   all:   both run scripts and scripts/test.sh with every preset (the default)
# printing how long each step took. Needs root (chroot and mounts); not run in CI.
# Usage: scripts/fresh-check.sh [all|linux|wine] [--keep]
set -euo pipefail

src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
subset=all keep=0
for a in "$@"; do
  case "$a" in
    all|linux|wine) subset="$a" ;;
    --keep) keep=1 ;;
    *) echo "usage: $0 [all|linux|wine] [--keep]" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "fresh-check: needs root (chroot, mounts)" >&2; exit 2; }
command -v mmdebstrap >/dev/null || "$src/scripts/setup.sh" --linux-only

log() { printf '[fresh-check %(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
base="$(mktemp -d "${TMPDIR:-/var/tmp}/vantrel-fresh.XXXXXX")"
root="$base/root"
mounts=()
cleanup() {
  local m
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
  if [ "$keep" -eq 0 ]; then rm -rf --one-file-system "$base"; else log "kept $base"; fi
}
trap cleanup EXIT

# The machine's own sources, so the root comes from the registry it reaches.
sources="$base/sources"
: > "$sources"
for f in /etc/apt/sources.list.d/*.sources; do [ -f "$f" ] && { cat "$f"; echo; } >> "$sources"; done
[ -f /etc/apt/sources.list ] && grep -E '^deb ' /etc/apt/sources.list >> "$sources" || true
suite="$(. /etc/os-release && echo "$VERSION_CODENAME")"

timed() {  # timed LABEL COMMAND...: runs it and records the seconds it took
  local label="$1" t0=$SECONDS rc=0
  shift
  log "start: $label"
  "$@" || rc=$?
  times+=("$(printf '%-28s %5d s  %s' "$label" $((SECONDS - t0)) "$([ $rc -eq 0 ] && echo ok || echo "FAILED ($rc)")")")
  [ $rc -eq 0 ] || failed=1
  return 0
}
times=() failed=0

make_root() {
  # minbase: apt and the essentials, nothing of what the project needs.
  mmdebstrap --variant=minbase --quiet "$suite" "$root" "$sources"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  git clone --quiet --no-hardlinks "$src" "$root/work/vantrel"
  for d in proc sys dev dev/pts; do
    mount --bind "/$d" "$root/$d"
    mounts+=("$root/$d")
  done
}

# Runs a command in the fresh root as a new root login would: a clean
# environment, the checkout as working folder, no standard input.
in_root() {
  setsid chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 TERM=dumb /bin/bash -c "cd /work/vantrel && $1" </dev/null
}

# A run script shows the monitor until Ctrl-C: wait for its first block, then
# interrupt it and require a clean end with nothing left running.
run_script() {
  local script="$1" out="$base/$(basename "$1").out"
  # setsid gives the script a process group of its own to interrupt.
  in_root "exec $script" >"$out" 2>&1 &
  local pid=$! ok=1
  for _ in $(seq 3600); do
    grep -q 'CPU' "$out" 2>/dev/null && { ok=0; break; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 1
  done
  local pgid
  pgid="$(ps -o pgid= -p "$(pgrep -P "$pid" | head -n1)" 2>/dev/null | tr -d ' ')"
  [ -n "$pgid" ] && kill -INT -- "-$pgid" 2>/dev/null
  wait "$pid" || true
  tail -n 15 "$out" >&2
  return $ok
}

timed "debian root ($suite)" make_root
if [ "$subset" = linux ] || [ "$subset" = all ]; then
  timed "scripts/run-linux.sh" run_script scripts/run-linux.sh
fi
if [ "$subset" = wine ] || [ "$subset" = all ]; then
  timed "scripts/run-wine.sh" run_script scripts/run-wine.sh
fi
case "$subset" in
  linux) timed "scripts/test.sh linux" in_root "scripts/test.sh linux" ;;
  wine) timed "scripts/test.sh windows" in_root "scripts/test.sh windows" ;;
  all) timed "scripts/test.sh" in_root "scripts/test.sh" ;;
esac

echo "=== fresh-check ($subset) ==="
printf '%s\n' "${times[@]}"
exit "$failed"
