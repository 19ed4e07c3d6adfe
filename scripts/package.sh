#!/usr/bin/env bash
# Builds the Debian packages from a Release build and checks them.
#
#   scripts/package.sh           build build-release/ (reused when it exists)
#                                with Debian's hardening flags, make
#                                quorvane_*.deb and quorvane-refsvc_*.deb in
#                                it, and run lintian, desktop-file-validate
#                                and appstreamcli validate on them
#   scripts/package.sh --check   the same, then (as root) install the packages
#                                with apt and try them as a plain user against
#                                the reference service, in a network namespace
#                                of their own: the first start to the login
#                                window, each of the four tests through
#                                quorvane-cli (the web page under xvfb-run
#                                with the browser's sandbox), an automatic
#                                round of quorvane-cli and one of the tray
#                                program, each with its records; an update
#                                from the service into the user's folder while
#                                nothing under /usr or /opt changes; removal
#                                with the folder intact. One line per step.
#                                The packages and the user are removed at the
#                                end. Needs python3, unzip, Xvfb, xvfb-run,
#                                trayer.
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
  -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "package.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
esac
if [ "$CHECK" = 1 ] && [ "$(id -u)" -ne 0 ]; then
  echo "package.sh: --check installs packages and creates a user: it needs root (try: sudo $0 --check)" >&2
  exit 1
fi

if [ "$CHECK" = 1 ]; then
  for c in python3 unzip Xvfb xvfb-run trayer ip setpriv; do
    command -v "$c" >/dev/null || { echo "package.sh: --check needs $c" >&2; exit 1; }
  done
fi

say() { printf '\n== %s\n' "$*"; }
die() { echo "package.sh: $*" >&2; exit 1; }

# ---- Build and package ----
# Debian's hardening flags, as a Debian build of the package would get them
# (fortified functions, stack protector, full RELRO with immediate binding;
# GCC builds PIE by default). The flags replace CMake's Release set, which
# would add -O3 over dpkg's -O2; NDEBUG stays. Configuring every time lets
# a folder built before with other flags catch up.
FLAGS_ENV=(env DEB_BUILD_MAINT_OPTIONS=hardening=+all)
CXXFLAGS_DEB="$("${FLAGS_ENV[@]}" dpkg-buildflags --get CPPFLAGS) $("${FLAGS_ENV[@]}" dpkg-buildflags --get CXXFLAGS)"
CFLAGS_DEB="$("${FLAGS_ENV[@]}" dpkg-buildflags --get CPPFLAGS) $("${FLAGS_ENV[@]}" dpkg-buildflags --get CFLAGS)"
LDFLAGS_DEB=$("${FLAGS_ENV[@]}" dpkg-buildflags --get LDFLAGS)
LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF "${LAUNCHER[@]}" \
  -DCMAKE_CXX_FLAGS="$CXXFLAGS_DEB" -DCMAKE_C_FLAGS="$CFLAGS_DEB" \
  -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS_DEB" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS_DEB" >/dev/null
say "building $BUILD"
cmake --build "$BUILD" -j"$(nproc)" >"$BUILD/build.log" 2>&1 || { tail -30 "$BUILD/build.log"; die "the build failed"; }
tail -1 "$BUILD/build.log"
echo "compiler warnings in this build: $(grep -c 'warning:' "$BUILD/build.log" || true)"
grep 'warning:' "$BUILD/build.log" | head -20 || true
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
  lintian -I --tag-display-limit 0 "$DEB" "$REFSVC_DEB" || true
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
# Everything the user runs lives in a network namespace of its own with
# loopback and one veth pair nobody answers on: the reference service takes
# the shipped end points (127.0.0.1:18080, test servers 127.0.0.2-9:8080)
# there, and the environment checks' sweep of "the LAN" sends nothing out.
U=qvpkgcheck
HOME_U=/home/$U
FOLDER=$HOME_U/.local/share/quorvane
NS=qvpkgcheck-$$
WORK=$(mktemp -d)
chmod 755 "$WORK"
QPID=
MADE_USER=0
cleanup() {
  set +e
  # Only what this script started: every process in its namespace.
  if ip netns list 2>/dev/null | grep -w "$NS" >/dev/null; then
    for pid in $(ip netns pids "$NS" 2>/dev/null); do kill "$pid" 2>/dev/null; done
    sleep 1
    for pid in $(ip netns pids "$NS" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    ip netns del "$NS"
  fi
  # A user of that name made by someone else is never touched.
  [ "$MADE_USER" = 1 ] && userdel -r "$U" 2>/dev/null
  for p in quorvane quorvane-refsvc; do
    dpkg -s "$p" >/dev/null 2>&1 && apt-get purge -y -q "$p" >/dev/null 2>&1
  done
  rm -rf "$WORK" "$STAGE"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
USER_ENV=(env -i HOME="$HOME_U" USER="$U" LOGNAME="$U" PATH=/usr/bin:/bin LANG=C.UTF-8)
as_user() { ip netns exec "$NS" setpriv --reuid="$U" --regid="$U" --init-groups -- "${USER_ENV[@]}" "$@"; }
# Starts Quorvane through the launcher in a session of its own (the browser's
# processes join it); ip netns exec forks, so the session's id comes from the
# shell that becomes the program.
start_quorvane() { # log
  rm -f "$WORK/u/quorvane.pid"
  as_user DISPLAY="$DISPLAY_U" sh -c 'echo $$ >"$0"; exec setsid quorvane' "$WORK/u/quorvane.pid" >"$1" 2>&1 &
  for _ in $(seq 50); do [ -s "$WORK/u/quorvane.pid" ] && break; sleep 0.1; done
  QPID=$(cat "$WORK/u/quorvane.pid")
}
stop_quorvane() {
  kill -TERM -- "-$QPID" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$QPID" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL -- "-$QPID" 2>/dev/null || true
}
# One line per step: "ok" or "FAIL", what was seen; a failure ends the check.
pass() { printf '%-34s ok    %s\n' "$1" "$2"; }
fail() { printf '%-34s FAIL  %s\n' "$1" "$2"; exit 1; }
wait_for() { # file pattern tenths-of-a-second
  for _ in $(seq "$3"); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
json() { # file python-expression-on-d
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$1" "$2" 2>/dev/null
}
# Kinds of the records (Pccollect_KIND_*.dat) in archives and loose files
# of the user's Data folder newer than the mark.
records_since() {
  local mark=$1 f
  find "$FOLDER/Data" -type f -newer "$mark" | sort | while read -r f; do
    case "$f" in
      *.zip) unzip -Z1 "$f" ;;
      *) basename "$f" ;;
    esac
  done | sed -n 's/^Pccollect_\([a-z]*\)_.*/\1/p' | sort -u | tr '\n' ' ' | sed 's/ $//'
}
history_lines() { cat "$FOLDER"/HistoryRecord/*.txt 2>/dev/null | wc -l; }
# A mark before a step: records after it are the step's; the history's
# length at the mark is kept beside it.
new_mark() { touch "$WORK/mark.$1"; history_lines >"$WORK/mark.$1.history"; sleep 1; echo "$WORK/mark.$1"; }
history_since() { echo $(( $(history_lines) - $(cat "$1.history") )); }
# A checksum of every file the package installed, and every file under its
# tree and /opt (a file added there counts too).
system_listing() {
  { dpkg -L quorvane | while read -r p; do if [ -f "$p" ] && [ ! -L "$p" ]; then echo "$p"; fi; done
    find /usr/lib/quorvane /opt -type f 2>/dev/null || true; } | sort -u | xargs -d '\n' md5sum
}

say "as $U, in network namespace $NS"
id "$U" >/dev/null 2>&1 && die "user $U exists already; remove it first (userdel -r $U)"
# Without the recommended packages: the check must leave the machine as it
# found it, and nothing it does needs them.
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "./$DEB" "./$REFSVC_DEB" >"$WORK/apt.log" 2>&1 ||
  { tail -5 "$WORK/apt.log"; fail "install with apt" "apt-get install failed"; }
command -v quorvane >/dev/null && command -v quorvane-cli >/dev/null || fail "install with apt" "quorvane is not on the PATH"
pass "install with apt" "$(dpkg-query -W -f '${Package} ${Version}' quorvane), $(dpkg-query -W -f '${Package} ${Version}' quorvane-refsvc); apt: $(grep -o '[0-9]* newly installed' "$WORK/apt.log")"
system_listing >"$WORK/system.before"
useradd -m -s /bin/bash "$U"
MADE_USER=1
install -d -o "$U" "$WORK/u"
. "$ROOT/scripts/lone_netns.sh"
lone_netns "$NS"

# A newer release on the reference service's update server: the version
# the package carries is its predecessor in the release history.
INSTALLED=$(tr -d '\r' < /usr/lib/quorvane/conf/update_process.properties | sed -n 's/^new_app_ver=//p')
NEXT=V9.0.01
mkdir -p "$WORK/update/files/$NEXT/help"
printf 'Release %s\r\n' "$NEXT" > "$WORK/update/files/$NEXT/help/release-notes.txt"
MD5=$(md5sum < "$WORK/update/files/$NEXT/help/release-notes.txt" | cut -d' ' -f1)
SIZE=$(stat -c %s "$WORK/update/files/$NEXT/help/release-notes.txt")
cat > "$WORK/update/update.xml" <<XML
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
XML
chmod -R a+rX "$WORK/update"

as_user quorvane-refsvc --update-dir "$WORK/update" >"$WORK/refsvc.out" 2>"$WORK/refsvc.err" &
wait_for "$WORK/refsvc.out" ready 100 || { cat "$WORK/refsvc.err"; fail "reference service" "did not start"; }
pass "reference service" "$(sed -n 's/.*ready //p' "$WORK/refsvc.out" | cut -c1-60)..."

# A display with a notification area, for the window and the tray.
exec 5>"$WORK/display"
as_user Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
exec 5>&-
wait_for "$WORK/display" . 100 || fail "display" "Xvfb did not start"
DISPLAY_U=:$(head -1 "$WORK/display")
as_user DISPLAY="$DISPLAY_U" trayer --edge top --align right --widthtype pixel --width 120 --height 24 \
  >/dev/null 2>&1 &

# The first start of all: the launcher makes the folder, the folder's
# first window starts the background updater, and nobody has logged in yet.
start_quorvane "$WORK/first.log"
wait_for "$WORK/first.log" "login window shown" 600 || { tail -20 "$WORK/first.log"; fail "first start: login window" "not shown in 60 s"; }
UPDATER=$(sed -n 's/^update_process_id=\([0-9]*\).*/\1/p' "$FOLDER/conf/update_process.properties")
[ -n "$UPDATER" ] && [ "$UPDATER" != 0 ] && [ "$(readlink "/proc/$UPDATER/exe")" = "$FOLDER/Update" ] ||
  fail "first start: background updater" "not started from $FOLDER"
pass "first start: login window" "$FOLDER made by the launcher"
pass "first start: background updater" "pid $UPDATER, $FOLDER/Update"
# The window is closed for the commands; the updater runs on.
stop_quorvane

echo demo123 | as_user quorvane-cli login demo >"$WORK/login.out" 2>&1 || { cat "$WORK/login.out"; fail "quorvane-cli login demo" "refused"; }
pass "quorvane-cli login demo" "$(head -1 "$WORK/login.out")"

MARK=$(new_mark bandwidth)
rc=0; as_user quorvane-cli bandwidth --json >"$WORK/bandwidth.json" 2>"$WORK/bandwidth.err" || rc=$?
KINDS=$(records_since "$MARK")
[ "$rc" = 0 ] && [ "$(json "$WORK/bandwidth.json" 'd["outcome"]')" = completed ] && [ "$KINDS" = band ] &&
  [ "$(history_since "$MARK")" -ge 1 ] || { tail -5 "$WORK/bandwidth.err"; fail "test: bandwidth (cli)" "exit $rc, records: ${KINDS:-none}"; }
pass "test: bandwidth (cli)" "$(json "$WORK/bandwidth.json" '"down %s / up %s Mbit/s" % (d["download"]["bandwidthMb"], d["upload"]["bandwidthMb"])'); record: band"

# The file download, video and web page commands measure one address and
# write no record (that needs a round: below).
rc=0; as_user quorvane-cli download http://127.0.0.2:8080/download/5MB.bin --json >"$WORK/download.json" 2>"$WORK/download.err" || rc=$?
[ "$rc" = 0 ] && [ "$(json "$WORK/download.json" 'd["whole"]')" = True ] || { tail -5 "$WORK/download.err"; fail "test: file download (cli)" "exit $rc"; }
pass "test: file download (cli)" "$(json "$WORK/download.json" '"%s bytes, %s KB/s" % (d["bytes"], d["speedKBps"])')"

rc=0; as_user quorvane-cli video http://127.0.0.1:18080/portal/video/ku6/show/qvclip0003.html --json >"$WORK/video.json" 2>"$WORK/video.err" || rc=$?
[ "$rc" = 0 ] && [ "$(json "$WORK/video.json" 'd["ifcompleted"]')" = 1 ] || { tail -5 "$WORK/video.err"; fail "test: video (cli)" "exit $rc"; }
pass "test: video (cli)" "$(json "$WORK/video.json" '"%s, %s of %s bytes, %s KB/s" % (d["site"], d["loadSize"], d["totalSize"], d["speedKBps"])')"

# The browser's sandbox as a plain user has it: its sandboxed processes
# must run in user namespaces of their own (seen while the page loads).
PROBE=$WORK/sandbox
(
  for _ in $(seq 600); do
    for pid in $(pgrep -u "$U" -f 'QtWebEngineProcess --type=zygote --application-name'); do
      ns=$(readlink "/proc/$pid/ns/user" 2>/dev/null) || continue
      [ "$ns" != "$(readlink /proc/self/ns/user)" ] && { echo "$pid $ns" >"$PROBE"; exit 0; }
    done
    sleep 0.1
  done
) &
PROBE_PID=$!
rc=0; as_user xvfb-run -a quorvane-cli webpage http://127.0.0.1:18080/portal/news/index.html --json >"$WORK/web.json" 2>"$WORK/web.err" || rc=$?
kill "$PROBE_PID" 2>/dev/null || true; wait "$PROBE_PID" 2>/dev/null || true
[ "$rc" = 0 ] && [ -n "$(json "$WORK/web.json" 'd["firstScreenSeconds"]')" ] || { tail -5 "$WORK/web.err"; fail "test: web page (cli, xvfb-run)" "exit $rc"; }
pass "test: web page (cli, xvfb-run)" "first screen $(json "$WORK/web.json" 'd["firstScreenSeconds"]') s"
[ -s "$PROBE" ] || fail "browser sandbox" "no sandboxed browser process in a user namespace of its own"
pass "browser sandbox" "on: sandboxed process $(cut -d' ' -f1 "$PROBE") in $(cut -d' ' -f2 "$PROBE")"

# The machine may be busy (builds): the processor limit of the checks
# before a round is lifted in the user's own settings, as the user may.
sed -i '/<CPUThreshold>/,/<\/CPUThreshold>/s|<value>[0-9]*</value>|<value>100</value>|' "$FOLDER/Config/threshold_config.xml"
chown "$U:" "$FOLDER/Config/threshold_config.xml"
MARK=$(new_mark auto)
rc=0; as_user quorvane-cli auto --rounds 1 --json >"$WORK/auto.json" 2>"$WORK/auto.err" || rc=$?
KINDS=$(records_since "$MARK")
[ "$rc" = 0 ] && [ "$(json "$WORK/auto.json" 'd["completed"] == d["requested"] > 0')" = True ] &&
  [ "$KINDS" = "band filedown" ] && [ "$(history_since "$MARK")" -ge 2 ] ||
  { tail -5 "$WORK/auto.err"; head -c 600 "$WORK/auto.json"; echo; fail "automatic round (cli)" "exit $rc, records: ${KINDS:-none}"; }
pass "automatic round (cli)" "$(json "$WORK/auto.json" '"%s of %s tasks" % (d["completed"], d["requested"])'); records: $KINDS"

# The tray program's round: the user chose automatic testing at login and
# testing after the start, one address per test, and no start-up hint.
sed -i 's/^auto=.*/auto=1\r/' "$FOLDER/conf/l_c_config_01.properties"
sed -i 's/^manual=.*/manual=1\r/' "$FOLDER/conf/config.properties"
cp "$FOLDER/Config/settings.xml" "$WORK/settings-template.xml"
python3 "$ROOT/bench/unattended/unattended.py" tasks "$WORK/settings-template.xml" \
  "$FOLDER/Config/settings.xml" "$FOLDER/Config/settings10001.xml" \
  --web http://127.0.0.1:18080/portal/news/index.html \
  --video http://127.0.0.1:18080/portal/video/ku6/show/qvclip0003.html \
  --download http://127.0.0.2:8080/download/1MB.bin
sed -i '/<HintMessage>/,/<\/HintMessage>/s|<IsBool>true</IsBool>|<IsBool>false</IsBool>|' "$FOLDER/Config/settings10001.xml"
chown -R "$U:" "$FOLDER/conf" "$FOLDER/Config"
MARK=$(new_mark tray)
: >"$WORK/auto-before.txt"; cp "$FOLDER/auto.txt" "$WORK/auto-before.txt" 2>/dev/null || true
LINES_BEFORE=$(wc -l <"$WORK/auto-before.txt")
start_quorvane "$WORK/tray.log"
ended=0 alive=1 started=$SECONDS
for _ in $(seq 1500); do
  # The round's own lines only (grep reads all of them: under pipefail an
  # early exit would fail the pipe).
  if tail -n +"$((LINES_BEFORE + 1))" "$FOLDER/auto.txt" 2>/dev/null |
    grep '6分钟后开启下轮测速\|分钟后重新开始\|测速任务列表为空' >/dev/null; then
    ended=1
    break
  fi
  kill -0 "$QPID" 2>/dev/null || { alive=0; break; }
  sleep 0.2
done
# The web page's record may follow its task's end by a few seconds.
for _ in $(seq 100); do [ "$(records_since "$MARK")" = "band filedown screen videospeed" ] && break; sleep 0.1; done
KINDS=$(records_since "$MARK")
stop_quorvane
[ "$ended" = 1 ] && [ "$KINDS" = "band filedown screen videospeed" ] && [ "$(history_since "$MARK")" -ge 4 ] ||
  { tail -n +"$((LINES_BEFORE + 1))" "$FOLDER/auto.txt" | tail -15; tail -10 "$WORK/tray.log"; fail "automatic round (tray)" "round ended: $ended, program alive: $alive after $((SECONDS - started)) s, records: ${KINDS:-none}"; }
pass "automatic round (tray)" "records: $KINDS"
pass "records under the user's folder" "$(find "$FOLDER/Data" -name '*.zip' | wc -l) archives in Data, $(cat "$FOLDER"/HistoryRecord/* | wc -l) history lines"

# The updater's first check comes five minutes after its start.
for _ in $(seq 480); do
  grep -q "$NEXT" "$FOLDER/help/release-notes.txt" 2>/dev/null &&
    grep -q "new_app_ver=$NEXT" "$FOLDER/conf/update_process.properties" && break
  sleep 1
done
grep -q "new_app_ver=$NEXT" "$FOLDER/conf/update_process.properties" || { tail -5 "$FOLDER/update.txt"; fail "update from the service" "$NEXT not installed"; }
pass "update from the service" "$INSTALLED -> $NEXT in $FOLDER"

system_listing >"$WORK/system.after"
OWNED=$(find /usr /opt -xdev -user "$U" 2>/dev/null | head -5)
if cmp -s "$WORK/system.before" "$WORK/system.after" && [ -z "$OWNED" ]; then
  pass "nothing under /usr, /opt changed" "$(wc -l <"$WORK/system.after") files, the same checksums; none owned by $U"
else
  diff "$WORK/system.before" "$WORK/system.after" | head -10; echo "$OWNED"
  fail "nothing under /usr, /opt changed" "the listing differs"
fi
dpkg --verify quorvane || fail "dpkg --verify quorvane" "files changed"
pass "dpkg --verify quorvane" "clean"

# Every program of the user's (the updater and what it started) ends
# before the removal.
for pid in $(ip netns pids "$NS"); do
  case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in "$FOLDER"/*) kill "$pid" 2>/dev/null || true ;; esac
done
sleep 1
BEFORE=$(cd "$FOLDER" && find . -type f -print0 | sort -z | xargs -0 md5sum)
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q quorvane >"$WORK/remove.log" 2>&1 || fail "remove the package" "apt-get remove failed"
AFTER=$(cd "$FOLDER" && find . -type f -print0 | sort -z | xargs -0 md5sum)
[ "$BEFORE" = "$AFTER" ] || fail "remove the package" "$FOLDER changed"
pass "remove the package" "$FOLDER intact: $(echo "$AFTER" | wc -l) files, the same bytes"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q quorvane >"$WORK/purge.log" 2>&1 || fail "purge the package" "apt-get purge failed"
test -x "$FOLDER/Quorvane" || fail "purge the package" "$FOLDER removed"
grep -q "$U: $FOLDER" "$WORK/purge.log" || { cat "$WORK/purge.log"; fail "purge the package" "the folder was not named"; }
pass "purge the package" "folder kept and named: $(grep -c "  $U: " "$WORK/purge.log") paths listed"
say "package check passed"
