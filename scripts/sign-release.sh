#!/bin/sh
# Signs a release on the update server, for installations whose
# conf/config.properties names a release key (update_public_key).
#
#   scripts/sign-release.sh keygen KEY.pem
#       makes a new Ed25519 private key (readable by you only) and prints the
#       line to put into conf/config.properties.
#   scripts/sign-release.sh sign KEY.pem FOLDER [MANIFEST]
#       checks every File entry of FOLDER/MANIFEST (update.xml by default)
#       whose file is in FOLDER against its verify, size and (when present)
#       sha256 attributes, then
#       writes the detached signature FOLDER/MANIFEST.sig and prints the key
#       line. Sign again after every change to the manifest.
#   scripts/sign-release.sh pubkey KEY.pem
#       prints the key line again.
set -euf

die() { echo "sign-release: $*" >&2; exit 1; }

keyline() {
    printf 'update_public_key=%s\n' "$(openssl pkey -in "$1" -pubout | grep -v '^-----' | tr -d '\r\n')"
}

attr() { # attr NAME ELEMENT
    printf '%s\n' "$2" | sed -n "s/.*[[:space:]]$1=\"\([^\"]*\)\".*/\1/p"
}

[ $# -ge 2 ] || die "usage: $0 keygen KEY.pem | sign KEY.pem FOLDER [MANIFEST] | pubkey KEY.pem"
command -v openssl >/dev/null || die "openssl is needed"
cmd=$1 key=$2

case $cmd in
keygen)
    [ -e "$key" ] && die "$key exists; not overwritten"
    (umask 077 && openssl genpkey -algorithm ed25519 -out "$key")
    keyline "$key"
    ;;
pubkey)
    keyline "$key"
    ;;
sign)
    [ $# -ge 3 ] || die "sign needs KEY.pem and FOLDER"
    folder=$3 manifest=${4:-update.xml}
    [ -f "$folder/$manifest" ] || die "$folder/$manifest not found"
    bad=0
    # One File element per line, whatever the manifest's layout.
    for element in $(tr '\r\n\t' '   ' <"$folder/$manifest" | grep -o '<File[^>]*>' | tr ' ' '\001'); do
        element=$(printf '%s' "$element" | tr '\001' ' ')
        serpath=$(attr serpath "$element") verify=$(attr verify "$element") size=$(attr size "$element")
        sha256=$(attr sha256 "$element" | tr 'A-F' 'a-f')
        file=$folder/$serpath
        if [ ! -f "$file" ]; then
            echo "sign-release: note: $serpath is not in $folder (an older release?)" >&2
            continue
        fi
        actual=$(md5sum <"$file" | cut -d' ' -f1)
        length=$(wc -c <"$file" | tr -d ' ')
        if [ "$actual" != "$verify" ] || [ "$length" != "$size" ]; then
            echo "sign-release: $serpath: verify=$verify size=$size, but the file has $actual, $length bytes" >&2
            bad=1
        fi
        if [ -n "$sha256" ] && [ "$(openssl dgst -sha256 -r <"$file" | cut -d' ' -f1)" != "$sha256" ]; then
            echo "sign-release: $serpath: sha256=$sha256 does not match the file" >&2
            bad=1
        fi
    done
    [ $bad -eq 0 ] || die "the manifest does not match the files; nothing signed"
    openssl pkeyutl -sign -inkey "$key" -rawin -in "$folder/$manifest" -out "$folder/$manifest.sig"
    echo "signed $folder/$manifest -> $manifest.sig" >&2
    keyline "$key"
    ;;
*)
    die "unknown command $cmd"
    ;;
esac
