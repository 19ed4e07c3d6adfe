#!/usr/bin/env bash
# The demo collection server: a throwaway OpenSSH server on the loopback
# address and port that dist/Config/upload_config.xml names, with the host key
# committed in service/data/sshd (its public half is in dist/conf/known_hosts)
# and the collection user and password of that file. Needs root: it creates
# the user when missing and sets its password.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

UPLOAD_CONFIG="$ROOT/dist/Config/upload_config.xml"
MAIN_CONFIG="$ROOT/dist/conf/config.xml"
HOST_KEY="$ROOT/service/data/sshd/ssh_host_ed25519_key"
STATE=${QUORVANE_COLLECTOR_STATE:-/tmp/quorvane-collector}
BUILD=${QUORVANE_BUILD:-build}

usage() {
  cat <<EOF
Usage: scripts/collector.sh start|stop|status

start   starts sshd on the host and port of $(basename "$UPLOAD_CONFIG") for its
        collection user (created when missing); a running collector is left alone
stop    stops it
status  says whether it runs

Uploaded archives land in the collection user's home folder (printed by
start; /home/qvdemo for the shipped configuration): the main server's archives
in the folder that conf/config.xml names (pccollect), the regional copies in
region/<geography id>. The server's state and log are in $STATE
(QUORVANE_COLLECTOR_STATE overrides). Run as root.
EOF
}

die() {
  echo "collector: $*" >&2
  exit 1
}

# The first value of attribute $2 of the first <$1 ...> element in file $3.
attribute() {
  grep -o "<$1 [^>]*>" "$3" | head -n1 | grep -o " $2=\"[^\"]*\"" | head -n1 | sed 's/^[^"]*"//; s/"$//'
}

# The configuration enciphers host, port, user and password; the command-line
# tool reads them.
decipher() {
  local cli="$BUILD/out/quorvane-cli"
  if [ ! -x "$cli" ]; then
    if [ ! -f "$BUILD/build.ninja" ]; then
      local launcher=()
      command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
      cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_TESTS=OFF "${launcher[@]}" >/dev/null
    fi
    cmake --build "$BUILD" --target quorvane-cli >/dev/null
  fi
  "$cli" cipher decrypt "$1"
}

pid_running() {
  [ -f "$STATE/sshd.pid" ] && kill -0 "$(cat "$STATE/sshd.pid")" 2>/dev/null
}

start() {
  [ "$(id -u)" -eq 0 ] || die "must run as root: it creates the collection user and starts sshd (try: sudo $0 start)"
  [ -x /usr/sbin/sshd ] || die "OpenSSH server missing (apt-get install openssh-server, or scripts/setup.sh)"
  [ -f "$UPLOAD_CONFIG" ] || die "no $UPLOAD_CONFIG"
  if pid_running; then
    echo "collector: already running (pid $(cat "$STATE/sshd.pid"))"
    return 0
  fi

  local host port user password
  host=$(decipher "$(attribute svrip host "$UPLOAD_CONFIG")")
  port=$(decipher "$(attribute svrip port "$UPLOAD_CONFIG")")
  user=$(decipher "$(attribute svrip username "$UPLOAD_CONFIG")")
  password=$(decipher "$(attribute svrip password "$UPLOAD_CONFIG")")
  if [ -z "$host" ] || [ -z "$port" ] || [ -z "$user" ] || [ -z "$password" ]; then
    die "cannot read host, port, user and password from $UPLOAD_CONFIG"
  fi
  case "$host" in
    127.*) ;;
    *) die "$UPLOAD_CONFIG names $host; the demo collector only listens on loopback" ;;
  esac
  [[ "$user" =~ ^[a-z_][a-z0-9_-]*$ ]] || die "unusable user name in $UPLOAD_CONFIG"

  if ! getent passwd "$user" >/dev/null; then
    useradd -m -s /bin/sh "$user" || die "cannot create the user $user"
  fi
  printf '%s:%s\n' "$user" "$password" | chpasswd || die "cannot set the password of $user"
  local home
  home=$(getent passwd "$user" | cut -d: -f6)
  [ -d "$home" ] || die "the home folder $home of $user is missing"

  # Every folder the configuration sends to, owned by the user.
  local dirs=()
  mapfile -t dirs < <(grep -o ' dir="[^"]*"' "$UPLOAD_CONFIG" "$MAIN_CONFIG" | sed 's/^[^"]*"//; s/"$//')
  for dir in "${dirs[@]}"; do
    case "$dir" in
      *..*) die "refusing the folder \"$dir\"" ;;
    esac
    mkdir -p "$home/${dir#/}"
    chown "$user:" "$home/${dir#/}"
    # The parents the user may need to list (region/ of region/sh).
    local parent="${dir#/}"
    while [ "${parent%/*}" != "$parent" ]; do
      parent="${parent%/*}"
      chown "$user:" "$home/$parent"
    done
  done

  mkdir -p "$STATE" /run/sshd
  chmod 700 "$STATE"
  chmod 755 /run/sshd
  # sshd ignores a private key that others may read; a checkout leaves 0644.
  install -m 600 "$HOST_KEY" "$STATE/hostkey"
  cat >"$STATE/sshd_config" <<EOF
Port $port
ListenAddress $host
HostKey $STATE/hostkey
PidFile $STATE/sshd.pid
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication no
UsePAM no
PermitRootLogin no
AllowUsers $user
Subsystem sftp internal-sftp
EOF
  rm -f "$STATE/sshd.pid"
  : >"$STATE/sshd.log"
  /usr/sbin/sshd -f "$STATE/sshd_config" -E "$STATE/sshd.log" ||
    die "sshd did not start: $(cat "$STATE/sshd.log")"
  for _ in $(seq 50); do
    pid_running && break
    sleep 0.1
  done
  pid_running || die "sshd did not start: $(cat "$STATE/sshd.log")"
  echo "collector: sshd on $host:$port (pid $(cat "$STATE/sshd.pid")) for user $user; archives arrive under $home"
}

stop() {
  if ! pid_running; then
    echo "collector: not running"
    return 0
  fi
  local pid
  pid=$(cat "$STATE/sshd.pid")
  kill "$pid"
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$STATE/sshd.pid"
  echo "collector: stopped"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status)
    if pid_running; then echo "collector: running (pid $(cat "$STATE/sshd.pid"))"; else echo "collector: not running"; exit 1; fi
    ;;
  -h | --help | help) usage ;;
  *)
    usage >&2
    exit 2
    ;;
esac
