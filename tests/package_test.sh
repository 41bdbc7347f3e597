#!/usr/bin/env bash
# The two Debian packages, made by CPack from this build's programs and unpacked into a
# temporary root: their control fields and files, the desktop entry and metainfo, the server
# started as its systemd unit would start it (from the unit's command line and the defaults
# file, on free ports, with a temporary state directory), and the unpacked client logged in
# against it offscreen through its own login dialog, as a member the operator adds.
#
#   package_test.sh BUILD_DIR VERSION LOGIN_PRELOAD
#
# Exits 77 (skipped) where dpkg-deb is missing.
set -euo pipefail
build=$1 version=$2 preload=$3

if ! command -v dpkg-deb >/dev/null; then
  echo "package_test: dpkg-deb is missing: skipped"
  exit 77
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zq-package-test.XXXXXX")
server_pid="" client_pid=""
cleanup() {
  [ -n "$client_pid" ] && kill -KILL "$client_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
# Waits for a condition: polls COMMAND... every 0.1 s, at most LIMIT times.
wait_for() {
  local limit=$1
  shift
  for ((i = 0; i < limit; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# --- the packages ---
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/packages" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; exit 1; }
client_deb=$(ls "$tmp"/packages/zelvanquorvex_*.deb)
server_deb=$(ls "$tmp"/packages/zq-server_*.deb)
field() { dpkg-deb -f "$1" "$2"; }

check "package names" test "$(field "$client_deb" Package) $(field "$server_deb" Package)" = \
  "zelvanquorvex zq-server"
check "both packages carry the project's version $version" \
  test "$(field "$client_deb" Version) $(field "$server_deb" Version)" = "$version $version"
client_depends=$(field "$client_deb" Depends)
for dep in fonts-arphic-uming fonts-liberation2 libqt6widgets6 libqt6multimedia6 libzip4; do
  check "the client depends on $dep" grep -q "\b$dep\b" <<<"$client_depends"
done
server_depends=$(field "$server_deb" Depends)
for dep in libsqlite3-0 libzip4 libc6; do
  check "the server depends on $dep" grep -q "\b$dep\b" <<<"$server_depends"
done
check "the server's defaults file is a conffile" \
  grep -qx /etc/default/zq-server <(dpkg-deb --ctrl-tarfile "$server_deb" | tar -xO ./conffiles)

root=$tmp/root
dpkg-deb -x "$client_deb" "$root"
dpkg-deb -x "$server_deb" "$root"
for f in usr/bin/zelvanquorvex usr/bin/zq-server; do
  check "$f is an executable" test -x "$root/$f"
done
for f in usr/share/applications/zelvanquorvex.desktop usr/share/metainfo/org.zelvanquorvex.zelvanquorvex.metainfo.xml \
  lib/systemd/system/zq-server.service etc/default/zq-server usr/share/doc/zq-server/server.md \
  usr/share/doc/zq-server/copyright usr/share/doc/zq-server/changelog.gz \
  usr/share/doc/zelvanquorvex/copyright usr/share/doc/zelvanquorvex/changelog.gz; do
  check "$f is there" test -s "$root/$f"
done
# Width and height of a PNG: the two big-endian words after the signature and IHDR header.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $3 * 256 + $4 "x" $7 * 256 + $8}'; }
for size in 16 32 48 64 128 256; do
  icon=$root/usr/share/icons/hicolor/${size}x$size/apps/zelvanquorvex.png
  check "the ${size}x$size icon has that size" test "$(png_size "$icon" 2>/dev/null)" = "${size}x$size"
done
owners=$( (dpkg-deb -c "$client_deb" && dpkg-deb -c "$server_deb") | awk '{print $2}' | sort -u)
check "the files are owned by root" test "$owners" = root/root

desktop=$root/usr/share/applications/zelvanquorvex.desktop
if command -v desktop-file-validate >/dev/null; then
  check "desktop-file-validate passes the desktop entry" desktop-file-validate "$desktop"
else
  echo "skipped: desktop-file-validate is missing"
fi
check "the desktop entry starts the program by name" grep -qx 'Exec=zelvanquorvex' "$desktop"
check "the desktop entry has a Chinese name and comment" \
  test "$(grep -c '^\(Name\|Comment\)\[zh_CN\]=' "$desktop")" = 2
if command -v appstreamcli >/dev/null; then
  check "appstreamcli validates the metainfo" \
    appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/org.zelvanquorvex.zelvanquorvex.metainfo.xml"
fi
check "the metainfo names release $version" \
  grep -q "<release version=\"$version\"" "$root/usr/share/metainfo/org.zelvanquorvex.zelvanquorvex.metainfo.xml"

# --- the server, as its unit runs it ---
unit=$root/lib/systemd/system/zq-server.service
check "the unit runs the server under a dynamic user with a state directory" \
  test "$(grep -cx 'DynamicUser=yes\|StateDirectory=zq-server\|EnvironmentFile=-/etc/default/zq-server' "$unit")" = 3
state=$tmp/state
mkdir -p "$state/zq-server"
# The variables as systemd sets them: the unit's Environment= lines, then the defaults file
# (shipped, with the ports turned to free ones and the test's own options added).
declare -A env
while read -r line; do
  for assignment in ${line#Environment=}; do env[${assignment%%=*}]=${assignment#*=}; done
done < <(grep '^Environment=' "$unit")
defaults=$tmp/zq-server.default
sed -e 's/^\(ZQ_SERVER_[A-Z]*_PORT\)=.*/\1=0/' \
  -e "s|^ZQ_SERVER_OPTIONS=.*|ZQ_SERVER_OPTIONS=--fixed-code AB12 --ports-file $tmp/ports --trading-hours always|" \
  "$root/etc/default/zq-server" >"$defaults"
while IFS= read -r line; do
  [[ $line =~ ^([A-Z_]+)=(.*)$ ]] && env[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
done <"$defaults"
# ExecStart= with systemd's expansion: %S the state root, ${X} one word, $X split into words.
command=()
for word in $(sed -n 's/^ExecStart=//p' "$unit"); do
  if [[ $word =~ ^\$\{([A-Z_]+)\}$ ]]; then
    command+=("${env[${BASH_REMATCH[1]}]}")
  elif [[ $word =~ ^\$([A-Z_]+)$ ]]; then
    read -r -a split <<<"${env[${BASH_REMATCH[1]}]}"
    command+=("${split[@]}")
  else
    command+=("${word//%S/$state}")
  fi
done
check "the unit starts the packaged program" test "${command[0]}" = /usr/bin/zq-server
command[0]=$root/usr/bin/zq-server
check "the server reports the project's version" \
  test "$("$root/usr/bin/zq-server" --version)" = "zq-server $version"
"${command[@]}" 2>"$tmp/server.log" &
server_pid=$!
if ! wait_for 600 test -s "$tmp/ports"; then
  cat "$tmp/server.log"
  fail "the unpacked server is listening"
  exit 1
fi
read -r request_port push_port data_port _ <"$tmp/ports"
check "the server keeps its database in the state directory" test -f "$state/zq-server/zq-server.db"
check "a fresh service has no members and says how to add one" \
  grep -q 'no members: add one with "zq-server --db .* --add-member NAME"' "$tmp/server.log"
check "the operator adds a member to the running service's store" \
  "$root/usr/bin/zq-server" --db "$state/zq-server/zq-server.db" --add-member member1 <<<"s3cret-pass"

# --- the client, logged in through its own dialog ---
mkdir -p "$tmp/xdg" "$tmp/home" "$tmp/run"
# A sanitizer build's client: its runtime is not first in line before the preloaded helper.
sanitizers=()
for v in UBSAN_OPTIONS TSAN_OPTIONS; do
  [ -n "${!v:-}" ] && sanitizers+=("$v=${!v}")
done
sanitizers+=("ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0")
env -i PATH="$PATH" HOME="$tmp/home" XDG_DATA_HOME="$tmp/xdg" TMPDIR="$tmp/run" "${sanitizers[@]}" \
  XDG_RUNTIME_DIR="$tmp/run" QT_QPA_PLATFORM=offscreen ZQ_SERVER_HOST=127.0.0.1 \
  ZQ_REQUEST_PORT="$request_port" ZQ_PUSH_PORT="$push_port" ZQ_DATA_PORT="$data_port" \
  ZQ_TEST_LOGIN="member1 s3cret-pass AB12" LD_PRELOAD="$preload" \
  "$root/usr/bin/zelvanquorvex" >"$tmp/client.log" 2>&1 &
client_pid=$!
logged_in() { grep -q '6 login "member1" -> 1' "$tmp/server.log"; }
started() { grep -qE 'request [^ ]+: 54 ' "$tmp/server.log"; }
settings=$tmp/xdg/zelvanquorvex/data
if wait_for 600 logged_in; then
  echo "ok: the unpacked client logged in as the added member"
  check "the client runs its start-up loads" wait_for 600 started
  check "the installed client keeps its settings in the per-user data directory" \
    wait_for 600 test -s "$settings"
  check "and nothing beside the program" test ! -e "$root/usr/bin/data" -a ! -e "$root/usr/bin/history"
else
  fail "the unpacked client logged in as the added member"
  echo "--- client"; cat "$tmp/client.log"; echo "--- server"; cat "$tmp/server.log"
fi
kill -TERM "$client_pid" 2>/dev/null || true
wait "$client_pid" 2>/dev/null || true
client_pid=""
kill -TERM "$server_pid"
check "the server stops cleanly on SIGTERM" wait "$server_pid"
server_pid=""

if command -v lintian >/dev/null; then
  check "lintian finds no errors" lintian --fail-on error "$client_deb" "$server_deb"
fi

if [ "$failures" -ne 0 ]; then
  echo "package_test: $failures failed"
  exit 1
fi
echo "package_test: every check passed"
