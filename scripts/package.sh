#!/usr/bin/env bash
# Builds the Debian packages from a Release build and checks them.
#
#   scripts/package.sh           build build-release/ (reused when it exists),
#                                make quorvane_*.deb and quorvane-refsvc_*.deb
#                                in it, and run lintian, desktop-file-validate
#                                and appstreamcli validate on them
#   scripts/package.sh --check   the same, then (as root) install the packages
#                                on this machine and try them as a plain user:
#                                log in and measure with quorvane-cli against
#                                the reference service on loopback, start
#                                Quorvane under Xvfb to its login window, let
#                                the background updater install a release the
#                                service offers into the user's folder, remove
#                                the package and find the folder intact. The
#                                packages and the user are removed at the end.
#
# QUORVANE_RELEASE_BUILD names another build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${QUORVANE_RELEASE_BUILD:-build-release}
CHECK=0
case "${1:-}" in
  "") ;;
  --check) CHECK=1 ;;
  -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "package.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
esac
if [ "$CHECK" = 1 ] && [ "$(id -u)" -ne 0 ]; then
  echo "package.sh: --check installs packages and creates a user: it needs root (try: sudo $0 --check)" >&2
  exit 1
fi

say() { printf '\n== %s\n' "$*"; }
die() { echo "package.sh: $*" >&2; exit 1; }

# ---- Build and package ----
if [ ! -f "$BUILD/build.ninja" ]; then
  LAUNCHER=()
  command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF "${LAUNCHER[@]}" >/dev/null
fi
say "building $BUILD"
cmake --build "$BUILD" -j"$(nproc)" | tail -1
rm -f "$BUILD"/quorvane*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null) || die "cpack failed (see $BUILD/_CPack_Packages)"
DEB=$(ls "$BUILD"/quorvane_*.deb)
REFSVC_DEB=$(ls "$BUILD"/quorvane-refsvc_*.deb)
say "packages"
for f in "$DEB" "$REFSVC_DEB"; do
  printf '%s  %s KiB packed, %s KiB installed\n' "$f" "$(( $(stat -c %s "$f") / 1024 ))" \
    "$(dpkg-deb -f "$f" Installed-Size)"
  dpkg-deb -f "$f" Depends | sed 's/^/  Depends: /'
done

# ---- Static checks ----
STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
dpkg-deb -x "$DEB" "$STAGE"
if command -v lintian >/dev/null; then
  say "lintian"
  lintian --tag-display-limit 0 "$DEB" "$REFSVC_DEB" || true
  lintian -q --fail-on error "$DEB" "$REFSVC_DEB" >/dev/null || die "lintian reports errors"
fi
if command -v desktop-file-validate >/dev/null; then
  say "desktop-file-validate"
  desktop-file-validate "$STAGE"/usr/share/applications/*.desktop && echo "clean"
fi
if command -v appstreamcli >/dev/null; then
  say "appstreamcli validate"
  # --no-net: the machine may have no Internet; the screenshot's address is
  # checked for its form only.
  appstreamcli validate --no-net --explain "$STAGE"/usr/share/metainfo/*.metainfo.xml
fi
[ "$CHECK" = 1 ] || exit 0

# ---- On this machine, as a plain user ----
U=qvpkgcheck
HOME_U=/home/$U
FOLDER=$HOME_U/.local/share/quorvane
WORK=$(mktemp -d)
chmod 755 "$WORK"
PIDS=()
cleanup() {
  set +e
  # Only what this script started, by process id: the services, the X
  # server, and the user's programs (found by their executable's folder).
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  if id "$U" >/dev/null 2>&1; then
    for exe in /proc/[0-9]*/exe; do
      case "$(readlink "$exe" 2>/dev/null)" in
        "$FOLDER"/*) pid=${exe#/proc/}; kill "${pid%/exe}" 2>/dev/null ;;
      esac
    done
    sleep 1
    userdel -r "$U" 2>/dev/null
  fi
  for p in quorvane quorvane-refsvc; do
    dpkg -s "$p" >/dev/null 2>&1 && apt-get purge -y -q "$p" >/dev/null 2>&1
  done
  rm -rf "$WORK" "$STAGE"
}
trap cleanup EXIT
USER_ENV=(env -i HOME="$HOME_U" USER="$U" LOGNAME="$U" PATH=/usr/bin:/bin LANG=C.UTF-8)
# setpriv and env replace themselves with the program: started with "&",
# $! is the program's own id.
as_user() { setpriv --reuid="$U" --regid="$U" --init-groups -- "${USER_ENV[@]}" "$@"; }

say "installing with apt"
id "$U" >/dev/null 2>&1 && die "user $U exists already; remove it first (userdel -r $U)"
# Without the recommended packages: the check must leave the machine as it
# found it, and nothing it does needs them.
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "./$DEB" "./$REFSVC_DEB" | tail -2
command -v quorvane >/dev/null && command -v quorvane-cli >/dev/null || die "quorvane is not on the PATH"
useradd -m -s /bin/bash "$U"

# A newer release on the reference service's update server: the version
# the package carries is its predecessor in the release history.
INSTALLED=$(tr -d '\r' < /usr/lib/quorvane/conf/update_process.properties | sed -n 's/^new_app_ver=//p')
NEXT=V9.0.01
mkdir -p "$WORK/update/files/$NEXT/help"
printf 'Release %s\r\n' "$NEXT" > "$WORK/update/files/$NEXT/help/release-notes.txt"
MD5=$(md5sum < "$WORK/update/files/$NEXT/help/release-notes.txt" | cut -d' ' -f1)
SIZE=$(stat -c %s "$WORK/update/files/$NEXT/help/release-notes.txt")
cat > "$WORK/update/update.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<update>
  <Version>$NEXT</Version>
  <UpdateInfo><info>package check</info></UpdateInfo>
  <versions>
    <versionid seq="1">$INSTALLED</versionid>
    <versionid seq="2">$NEXT</versionid>
    <File seq="2" serpath="files/$NEXT/help/release-notes.txt" localpath="help/release-notes.txt" verify="$MD5" size="$SIZE"/>
  </versions>
</update>
EOF
chmod -R a+rX "$WORK/update"

say "reference service on loopback"
setpriv --reuid="$U" --regid="$U" --init-groups -- "${USER_ENV[@]}" quorvane-refsvc --update-dir "$WORK/update" \
  >"$WORK/refsvc.out" 2>"$WORK/refsvc.err" &
PIDS+=($!)
for _ in $(seq 100); do grep -q ready "$WORK/refsvc.out" && break; sleep 0.1; done
grep ready "$WORK/refsvc.out" || { cat "$WORK/refsvc.err"; die "the reference service did not start"; }

say "as $U: Quorvane under Xvfb"
# The first start of all: the launcher makes the folder, the folder's
# first window starts the background updater, and nobody has logged in yet.
DISPLAY_NO=$(( 70 + RANDOM % 20 ))
setpriv --reuid="$U" --regid="$U" --init-groups -- Xvfb ":$DISPLAY_NO" -screen 0 1280x800x24 -nolisten tcp \
  >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
sleep 2
setpriv --reuid="$U" --regid="$U" --init-groups -- "${USER_ENV[@]}" DISPLAY=":$DISPLAY_NO" quorvane \
  >"$WORK/quorvane.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 120); do grep -q "login window shown" "$WORK/quorvane.log" && break; sleep 0.5; done
grep "login window shown" "$WORK/quorvane.log" || { tail -20 "$WORK/quorvane.log"; die "no login window"; }
UPDATER=$(sed -n 's/^update_process_id=\([0-9]*\).*/\1/p' "$FOLDER/conf/update_process.properties")
[ -n "$UPDATER" ] && [ "$UPDATER" != 0 ] && [ "$(readlink "/proc/$UPDATER/exe")" = "$FOLDER/Update" ] ||
  die "the first window did not start the background updater from $FOLDER"
echo "background updater: pid $UPDATER, $FOLDER/Update"

say "as $U: quorvane-cli login demo"
echo demo123 | as_user quorvane-cli login demo
say "as $U: quorvane-cli bandwidth --json"
set +e
as_user quorvane-cli bandwidth --json >"$WORK/bandwidth.json" 2>"$WORK/bandwidth.err"
rc=$?
set -e
cat "$WORK/bandwidth.json"
grep -q '"download"' "$WORK/bandwidth.json" || die "bandwidth gave no result (exit $rc)"
echo "exit $rc"

say "the background updater installs $NEXT (its first check comes 5 minutes after its start)"
for _ in $(seq 480); do
  grep -q "$NEXT" "$FOLDER/help/release-notes.txt" 2>/dev/null &&
    grep -q "new_app_ver=$NEXT" "$FOLDER/conf/update_process.properties" && break
  sleep 1
done
grep -q "new_app_ver=$NEXT" "$FOLDER/conf/update_process.properties" || { cat "$FOLDER/update.txt"; die "no update"; }
cat "$FOLDER/update.txt" 2>/dev/null | tail -5
echo "installed $NEXT into $FOLDER; nothing under /usr changed:"
dpkg --verify quorvane && echo "dpkg --verify quorvane: clean"

say "removing the package"
cleanup_users_programs() {
  for exe in /proc/[0-9]*/exe; do
    case "$(readlink "$exe" 2>/dev/null)" in
      "$FOLDER"/*) pid=${exe#/proc/}; kill "${pid%/exe}" 2>/dev/null || true ;;
    esac
  done
}
cleanup_users_programs
sleep 1
BEFORE=$(cd "$FOLDER" && find . -type f -print0 | sort -z | xargs -0 md5sum)
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q quorvane | tail -1
AFTER=$(cd "$FOLDER" && find . -type f -print0 | sort -z | xargs -0 md5sum)
[ "$BEFORE" = "$AFTER" ] || die "removing the package changed $FOLDER"
echo "$FOLDER intact after removal: $(echo "$AFTER" | wc -l) files, the same bytes"
say "purging"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q quorvane 2>&1 | grep -v '^\(Reading\|Building\)'
test -x "$FOLDER/Quorvane" || die "purging removed $FOLDER"
say "package check passed"
