#!/usr/bin/env bash
# Starts or stops a private Firebird server on loopback for the client/server
# database tests:
#
#   scripts/firebird-server.sh start   # 127.0.0.1, port $DC_FIREBIRD_PORT (3050)
#   scripts/firebird-server.sh stop
#   scripts/firebird-server.sh status
#
# The server runs from its own folder ($DC_FIREBIRD_HOME, default
# build/firebird-server) with its own firebird.conf and security database, so
# that it needs neither systemd nor the system server's SYSDBA password. The
# collector's login (the values that DBUserName and DBPassword decipher to) is
# created or reset in that security database at every start. It needs the
# Debian packages firebird3.0-server and firebird3.0-utils (scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

# The collector's login; a test compares these with the deciphered credentials.
DC_DB_USER=DCUSER
DC_DB_PASSWORD=Wx7-rinse-Dry42

port=${DC_FIREBIRD_PORT:-3050}
home=${DC_FIREBIRD_HOME:-$(pwd)/build/firebird-server}
pidfile=$home/firebird.pid
logfile=$home/firebird.log
fb_lib=$(dirname "$(find /usr/lib -path '*firebird/3.0/plugins/libEngine12.so' -print -quit 2>/dev/null || true)")
fb_lib=${fb_lib%/plugins}
server_bin=/usr/sbin/firebird
isql=$(command -v isql-fb || command -v isql || true)

die() { echo "firebird-server: $*" >&2; exit 1; }

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

running_pid() {
  [ -f "$pidfile" ] || return 1
  local pid
  pid=$(cat "$pidfile")
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

write_config() {
  mkdir -p "$home"
  # The server finds its messages and plugins through the system installation;
  # only the configuration and security database are ours.
  for item in plugins firebird.msg plugins.conf; do
    if [ -e "$fb_lib/$item" ] && [ ! -e "$home/$item" ]; then ln -s "$fb_lib/$item" "$home/$item"; fi
  done
  # The character-set module is registered under the resolved path of the
  # file it was loaded from, so it must be a real file below this root, not a
  # link: behind a link every character set reads as "not installed".
  rm -rf "$home/intl"
  mkdir -p "$home/intl"
  cp "$fb_lib/intl/libfbintl.so" "$home/intl/"
  cp "$(readlink -f "$fb_lib/intl/fbintl.conf")" "$home/intl/fbintl.conf"
  cat > "$home/firebird.conf" <<EOF
RemoteBindAddress = 127.0.0.1
RemoteServicePort = $port
ServerMode = Super
DatabaseAccess = Full
AuthServer = Srp
AuthClient = Srp
UserManager = Srp
WireCrypt = Enabled
SecurityDatabase = $home/security3.fdb
EOF
  cat > "$home/databases.conf" <<EOF
security.db = $home/security3.fdb
EOF
}

ensure_login() {
  # Embedded access to the private security database: no password is checked.
  if [ ! -f "$home/security3.fdb" ]; then
    echo "create database '$home/security3.fdb' user SYSDBA;" |
      FIREBIRD=$home "$isql" -q -b >/dev/null || die "cannot create $home/security3.fdb"
  fi
  FIREBIRD=$home "$isql" -q -b -user SYSDBA "$home/security3.fdb" >/dev/null <<EOF ||
create or alter user $DC_DB_USER password '$DC_DB_PASSWORD' using plugin Srp;
commit;
EOF
    die "cannot create the user $DC_DB_USER"
}

start() {
  [ -x "$server_bin" ] || die "$server_bin not found (install firebird3.0-server)"
  [ -n "$isql" ] || die "isql-fb not found (install firebird3.0-utils)"
  [ -n "$fb_lib" ] || die "the Firebird 3.0 engine was not found (install firebird3.0-server-core)"
  if pid=$(running_pid); then
    echo "firebird-server: already running (pid $pid) on 127.0.0.1:$port"
    return 0
  fi
  if port_open; then
    die "port $port on 127.0.0.1 is taken by another program (a system Firebird server?);" \
        "stop it or set DC_FIREBIRD_PORT and DC_FIREBIRD_SERVER=127.0.0.1/<port>"
  fi
  write_config
  ensure_login
  : > "$logfile"
  FIREBIRD=$home setsid "$server_bin" >>"$logfile" 2>&1 < /dev/null &
  echo $! > "$pidfile"
  for _ in $(seq 1 100); do
    if port_open; then
      echo "firebird-server: listening on 127.0.0.1:$port (pid $(cat "$pidfile"), home $home)"
      return 0
    fi
    if ! running_pid >/dev/null; then break; fi
    sleep 0.1
  done
  cat "$logfile" >&2 || true
  stop >/dev/null 2>&1 || true
  die "the server did not start"
}

stop() {
  local pid
  if ! pid=$(running_pid); then
    rm -f "$pidfile"
    echo "firebird-server: not running"
    return 0
  fi
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -f "$pidfile"
  echo "firebird-server: stopped"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status)
    if pid=$(running_pid); then echo "running (pid $pid) on 127.0.0.1:$port"; else echo "not running"; exit 1; fi ;;
  *) echo "usage: $0 start|stop|status" >&2; exit 2 ;;
esac
