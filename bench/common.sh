# Shared by the benchmark scripts (sourced): a scratch directory removed on
# exit, the loopback test server, nginx on loopback (HTTP and HTTPS), best-of-N
# timing with CPU time and peak RSS, and ratios.
# The sourcing script sets `root` (the project), `build` and `rounds` first.
# SMOKE=1 is the test suite's run of a script, so that none rots unseen: small
# data, one round, no figure to be read, and the suite's own build (BUILD_DIR)
# taken as it is.

smoke=${SMOKE:-}
[ -z "$smoke" ] || rounds=1
work=$(mktemp -d /tmp/orvane-bench-XXXXXX)
server_pid=""
nginx_dir=""
bench_cleanup() {
  exec 3>&- 2>/dev/null || true  # end of input: the server stops
  if [ -n "$server_pid" ]; then wait "$server_pid" 2>/dev/null || true; fi
  stop_nginx
  rm -rf "$work"
}
trap bench_cleanup EXIT

# bench_build CMAKE_FLAGS... -- TARGETS...: configures $build as a Release
# build of the benchmarks with the end-of-download pause at 0 ms and the
# flags given, and builds the targets (not under SMOKE: the suite built them).
bench_build() {
  [ -z "$smoke" ] || return 0
  local flags=()
  while [ "$1" != -- ]; do flags+=("$1"); shift; done
  shift
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_BENCH=ON \
    -DORVANE_BUILD_TESTS=OFF -DORVANE_DOWNLOAD_PAUSE_MS=0 "${flags[@]}" >/dev/null
  cmake --build "$build" -j2 --target "$@" >/dev/null
}

bench_machine() {
  echo "machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores," \
    "$(free -g | awk '/^Mem:/ {print $2}') GiB RAM, $(uname -sr); best of $rounds runs;" \
    "scratch on $(findmnt -n -o SOURCE,FSTYPE -T "$work" | tr -s ' ')"
}

# start_server DIRECTORY: serves DIRECTORY on a loopback port of its choosing
# until the script ends; sets server_url to http://127.0.0.1:PORT.
start_server() {
  mkfifo "$work/server-input"
  python3 "$root/tests/server/update_server.py" --root "$1" \
    < "$work/server-input" > "$work/server-port" &
  server_pid=$!
  exec 3> "$work/server-input"
  for _ in $(seq 50); do
    grep -q '^PORT ' "$work/server-port" 2>/dev/null && break
    sleep 0.1
  done
  grep -q '^PORT ' "$work/server-port" || { echo "the test server did not start"; exit 1; }
  server_url="http://127.0.0.1:$(awk '/^PORT/ {print $2}' "$work/server-port")"
}

# free_port: a loopback TCP port that nothing listens on right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_nginx DIRECTORY: serves DIRECTORY with nginx on two loopback ports of
# its own, plain HTTP and HTTPS, until the script ends. The certificate is
# self-signed for 127.0.0.1 and made here with openssl. Sets nginx_http
# (http://127.0.0.1:PORT), nginx_https (https://127.0.0.1:PORT),
# nginx_cut_port (plain HTTP with a small send buffer), nginx_sent (the log
# of every answer's bytes sent, headers included, and its path) and
# nginx_cert (the certificate, the one root a client must trust). Requests
# in proxy form ("GET http://host/path", what a client sends through
# http_proxy) are served by their path like any other.
start_nginx() {
  nginx_dir="$work/nginx"
  mkdir -p "$nginx_dir/logs" "$nginx_dir/temp"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$nginx_dir/key.pem" \
    -out "$nginx_dir/cert.pem" 2>/dev/null
  local http_port https_port cut_port
  http_port=$(free_port)
  https_port=$(free_port)
  while [ "$https_port" = "$http_port" ]; do https_port=$(free_port); done
  cut_port=$(free_port)
  while [ "$cut_port" = "$http_port" ] || [ "$cut_port" = "$https_port" ]; do cut_port=$(free_port); done
  # As root, nginx's workers would drop to nobody, who cannot enter the
  # scratch directory (mode 700); they keep the benchmark's own user.
  local user_line=""
  [ "$(id -u)" = 0 ] && user_line="user root;"
  cat > "$nginx_dir/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon on;
pid $nginx_dir/nginx.pid;
error_log $nginx_dir/logs/error.log;
events { worker_connections 64; }
http {
  access_log $nginx_dir/logs/access.log;
  log_format sent '\$bytes_sent \$request_uri';
  client_body_temp_path $nginx_dir/temp/body;
  proxy_temp_path $nginx_dir/temp/proxy;
  fastcgi_temp_path $nginx_dir/temp/fastcgi;
  uwsgi_temp_path $nginx_dir/temp/uwsgi;
  scgi_temp_path $nginx_dir/temp/scgi;
  default_type application/octet-stream;
  sendfile on;
  server {
    listen 127.0.0.1:$http_port;
    listen 127.0.0.1:$https_port ssl;
    # A listener with a small send buffer, for a link that drops: what nginx
    # counts as sent is then nearly what arrived.
    listen 127.0.0.1:$cut_port sndbuf=64k;
    access_log $nginx_dir/logs/sent.log sent;
    access_log $nginx_dir/logs/access.log;
    ssl_certificate $nginx_dir/cert.pem;
    ssl_certificate_key $nginx_dir/key.pem;
    root $1;
  }
}
CONF
  # 3>&-: the daemon must not hold the test server's input open.
  nginx -p "$nginx_dir" -c "$nginx_dir/nginx.conf" -e "$nginx_dir/logs/error.log" 3>&- ||
    { echo "nginx did not start"; cat "$nginx_dir/logs/error.log"; exit 1; }
  for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$http_port/" && break
    sleep 0.1
  done
  nginx_http="http://127.0.0.1:$http_port"
  nginx_https="https://127.0.0.1:$https_port"
  nginx_cut_port=$cut_port
  nginx_sent="$nginx_dir/logs/sent.log"
  nginx_cert="$nginx_dir/cert.pem"
}

stop_nginx() {
  [ -n "$nginx_dir" ] && [ -f "$nginx_dir/nginx.pid" ] || return 0
  local pid
  pid=$(cat "$nginx_dir/nginx.pid")
  kill -QUIT "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  nginx_dir=""
}

# The CA bundle that libcurl was built to read. with_trust BUNDLE COMMAND...
# runs COMMAND in a private mount namespace where BUNDLE lies over that path,
# so the product trusts the benchmark's certificate without any option of
# its own (needs root).
system_ca_bundle=$(curl-config --ca 2>/dev/null || echo /etc/ssl/certs/ca-certificates.crt)
with_trust() {
  local bundle=$1; shift
  unshare --mount -- sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' with_trust \
    "$bundle" "$system_ca_bundle" "$@"
}

# measure NAME COMMAND...: keeps NAME's best elapsed seconds, best CPU
# seconds (user + system) and largest peak RSS (KiB); the command's output
# lands in $work/out.NAME. With `measure_wrap` set (an array), the timed
# command runs inside that wrapper, which itself is not timed.
declare -A best cpu rss
measure_wrap=()
measure() {
  local name=$1; shift
  "${measure_wrap[@]}" /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" \
    > "$work/out.$name" 2> "$work/err.$name" ||
    { echo "$name failed:"; cat "$work/err.$name"; exit 1; }
  local seconds user system kib
  read -r seconds user system kib < "$work/time"
  local used
  used=$(awk -v u="$user" -v s="$system" 'BEGIN {printf "%.2f", u + s}')
  if [ -z "${best[$name]:-}" ] || awk "BEGIN {exit !($seconds < ${best[$name]})}"; then
    best[$name]=$seconds
  fi
  if [ -z "${cpu[$name]:-}" ] || awk "BEGIN {exit !($used < ${cpu[$name]})}"; then
    cpu[$name]=$used
  fi
  if [ -z "${rss[$name]:-}" ] || [ "$kib" -gt "${rss[$name]}" ]; then rss[$name]=$kib; fi
}

# ratio OURS OTHER LABEL: their best time over ours (above 1: ours is faster).
ratio() {
  awk -v o="${best[$1]}" -v t="${best[$2]}" -v l="$3" \
    'BEGIN {printf "  %-48s %.3f\n", l, (o > 0 ? t / o : 0)}'
}

# cpu_ratio OURS OTHER LABEL: our best CPU time over theirs (below 1: ours
# uses less).
cpu_ratio() {
  awk -v o="${cpu[$1]}" -v t="${cpu[$2]}" -v l="$3" \
    'BEGIN {printf "  %-48s %.3f\n", l, (t > 0 ? o / t : 0)}'
}
