#!/bin/sh
# The launcher as the package lays it out: the build's own tree installed
# into STAGE (cmake --install ... --component quorvane), then started as a
# user whose home is a fresh folder.
#   installed_tree.sh STAGE
set -eu
STAGE=$1
H=$(mktemp -d)
trap 'rm -rf "$H"' EXIT
FOLDER=$H/.local/share/quorvane
fail() { echo "FAIL: $*" >&2; exit 1; }
run() { env -i HOME="$H" PATH=/usr/bin:/bin ASAN_OPTIONS=detect_leaks=0 "$@"; }

# Everything the package needs is where the launcher and the menu look.
for f in bin/quorvane bin/quorvane-cli lib/quorvane/Quorvane lib/quorvane/Update lib/quorvane/Velomark \
         lib/quorvane/quorvane-cli lib/quorvane/packaged-release lib/quorvane/conf/config.properties \
         share/man/man1/quorvane-cli.1.gz share/man/man1/quorvane.1.gz \
         share/applications/net.quorvane.Quorvane.desktop share/metainfo/net.quorvane.Quorvane.metainfo.xml \
         share/icons/hicolor/scalable/apps/net.quorvane.Quorvane.svg; do
  [ -e "$STAGE/usr/$f" ] || fail "$f is not installed"
done

# First start: the folder is made, private, and the command runs from it.
out=$(run "$STAGE/usr/bin/quorvane-cli" cipher encrypt 127.0.0.1 2>"$H/err")
[ "$out" = CF94AB149601A10779B532F9832447A5 ] || fail "first start printed '$out': $(cat "$H/err")"
grep -q "made the program folder $FOLDER" "$H/err" || fail "no word of the new folder: $(cat "$H/err")"
[ "$(stat -c %a "$FOLDER")" = 700 ] || fail "the folder is not private"
cmp -s "$STAGE/usr/lib/quorvane/quorvane-cli" "$FOLDER/quorvane-cli" || fail "the folder's quorvane-cli differs"
# The CLI works in its own folder: the folder's history, not the package's.
run "$STAGE/usr/bin/quorvane-cli" history --json >/dev/null 2>&1 || true
[ ! -e "$STAGE/usr/lib/quorvane/HistoryRecord" ] || fail "something was written into the packaged release"

# The user changes the configuration; a newer package keeps it and brings
# in the programs.
printf 'mine=1\r\n' >> "$FOLDER/conf/config.properties"
cp "$FOLDER/conf/config.properties" "$H/config.before"
printf 'stale' > "$FOLDER/Velomark"
old=$(cat "$STAGE/usr/lib/quorvane/packaged-release")
printf '99.0.0\n' > "$STAGE/usr/lib/quorvane/packaged-release"
rc=0
run "$STAGE/usr/bin/quorvane-cli" cipher decrypt CF94AB149601A10779B532F9832447A5 >"$H/out" 2>"$H/err" || rc=$?
printf '%s\n' "$old" > "$STAGE/usr/lib/quorvane/packaged-release"
[ $rc -eq 0 ] && [ "$(cat "$H/out")" = 127.0.0.1 ] || fail "the upgraded start failed: $(cat "$H/err")"
grep -q "brought the packaged release into" "$H/err" || fail "no word of the upgrade: $(cat "$H/err")"
cmp -s "$H/config.before" "$FOLDER/conf/config.properties" || fail "the upgrade replaced the user's configuration"
cmp -s "$STAGE/usr/lib/quorvane/Velomark" "$FOLDER/Velomark" || fail "the upgrade left an old program"
[ "$(cat "$FOLDER/.packaged-release")" = 99.0.0 ] || fail "the folder's stamp is not the new release's"
echo "installed tree: first start and upgrade as expected"
