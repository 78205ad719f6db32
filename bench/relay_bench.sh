#!/usr/bin/env bash
# End-to-end relay benchmark on loopback: an nginx origin, trovanexd, and tinyproxy as a peer,
# measured side by side in one interleaved run.
#  - a large body (1 GiB by default) fetched directly, through trovanexd and through tinyproxy:
#    MB/s, the ratio to the direct fetch, and the proxy's CPU seconds per GiB;
#  - the same body through a second trovanexd whose rule captures it ("trovanexd+save"), and
#    the time its save decision takes after the last byte (digest, hash-list check, move);
#  - 1 KiB answers on a new connection each, at concurrency 1, 16 and 64: requests per second
#    and the proxy's CPU time per request, medians over interleaved rounds (client, origin and
#    proxy share this machine's cores); with BASELINE=<another trovanexd> that build as well;
#  - CONNECT: the same large body over HTTPS from a TLS origin, fetched directly, through a
#    trovanexd tunnel and through a tinyproxy tunnel (MB/s, ratio to direct, proxy CPU s/GiB),
#    and 1 KiB over a new TLS connection (a new tunnel) each at concurrency 16;
#  - decode: page text of the same size, gzip-compressed, captured as sent (no Content-Encoding)
#    and captured decoded (Content-Encoding: gzip): MB/s of the coded body to the browser, and
#    the time from its last byte until the kept copy is listed, per GiB of content; with
#    BASELINE=<another trovanexd> that build's decoded capture as well.
#  - https: HTTPS opened by a trovanexd whose [Https] names the origin ("opened"), against the
#    blind tunnel of the plain trovanexd ("blind") and mitmdump, on a keep-alive TLS origin: the
#    large body (MB/s, proxy CPU s/GiB); 1 KiB requests with trovanex_https_load on one kept-alive
#    tunnel (c=1) and on a new tunnel each (c=1, c=16): requests/s and latency; and the first
#    tunnel to a host the proxy has not seen (its leaf certificate made) against later ones.
# Usage: bench/relay_bench.sh [size-in-MiB] [rounds]
# SECTIONS="large small connect decode https" (the default) chooses what runs; SMALL_ROUNDS the
# rounds of the small answers (default: rounds); HTTPS_SECONDS (default 5) the length of each
# 1 KiB HTTPS measurement. PORT_BASE (or BENCH_PORT) moves every port, for a run beside another
# that holds them; BASELINE=<trovanexd> runs an older build beside the new one.
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$top/build}"
# shellcheck source=../tests/support/search_rules.sh
source "$top/tests/support/search_rules.sh"
# shellcheck source=gzip_page.sh
source "$top/bench/gzip_page.sh"
# shellcheck source=wait_listed.sh
source "$top/bench/wait_listed.sh"
size_mb="${1:-1024}"
rounds="${2:-3}"
sections=" ${SECTIONS:-large small connect decode https} "
wanted() { [[ $sections == *" $1 "* ]]; }
port_base=${PORT_BASE:-${BENCH_PORT:-18200}}
origin_port=$port_base
trovanex_port=$((port_base + 1))
tinyproxy_port=$((port_base + 2))
capture_port=$((port_base + 3))
tls_port=$((port_base + 4))
https_port=$((port_base + 5))
opened_port=$((port_base + 6))
mitmdump_port=$((port_base + 7))
# The origin answers on 127.0.0.1 to 127.0.0.$loopback_hosts: every address is a host a proxy
# has not seen yet, without a name to resolve.
loopback_hosts=40

work="$(mktemp -d /tmp/trovanex-bench.XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www" "$work/trovanex" "$work/tinyproxy" "$work/capture" "$work/saved" "$work/opened" "$work/mitmdump"
chmod 755 "$work" "$work/www"  # nginx workers run unprivileged
# A real file kept in the page cache, so the origin is not what limits the rates.
head -c "${size_mb}M" /dev/zero >"$work/www/big.bin"
cat "$work/www/big.bin" >/dev/null
head -c 1024 /dev/urandom >"$work/www/1k.bin"
wanted decode && gzip_page "$work/www/gz" "$size_mb"

https_listen=""
for i in $(seq "$loopback_hosts"); do https_listen+="    listen 127.0.0.$i:$https_port ssl;"$'\n'; done
cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  keepalive_timeout 0;
  server {
    listen 127.0.0.1:$origin_port;
    root $work/www;
    location /gz/ { gzip_static on; }
  }
  server {
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    root $work/www;
  }
  server {
$https_listen
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    keepalive_timeout 120s;
    keepalive_requests 10000000;
    root $work/www;
  }
}
CONF
origin_names="DNS:localhost"
for i in $(seq "$loopback_hosts"); do origin_names+=",IP:127.0.0.$i"; done
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
  -addext "subjectAltName=$origin_names" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
nginx -c "$work/nginx.conf" -p "$work" &
pids+=($!)

cp "$build/src/trovanexd" "$work/trovanex/"
printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=60000\r\n' "$trovanex_port" >"$work/trovanex/trovanexd.ini"
(cd "$work/trovanex" && exec ./trovanexd >/dev/null 2>"$work/trovanex/stderr.log") &
pids+=($!)
trovanex_pid=$!

cp "$build/src/trovanexd" "$work/capture/"
printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=60000\r\n' "$capture_port" >"$work/capture/trovanexd.ini"
{
  search_rule big /big.bin Standard Save "/$work/saved"
  search_rule gz /gz/ Standard Save "/$work/saved"
} >"$work/capture/Search.cfg"
(cd "$work/capture" && exec ./trovanexd >/dev/null 2>"$work/capture/stderr.log") &
pids+=($!)
capture_pid=$!

# Optionally another trovanexd build beside this one (BASELINE=path), for the small answers and
# the decoded captures: before and after a change, in the same run.
baseline_pid=""
baseline_port=$((port_base + 19))
if [ -n "${BASELINE:-}" ] && { wanted small || wanted decode; }; then
  mkdir -p "$work/baseline"
  cp "$BASELINE" "$work/baseline/trovanexd"
  printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=60000\r\n' "$baseline_port" >"$work/baseline/trovanexd.ini"
  search_rule gz /gz/ Standard Save "/$work/saved" >"$work/baseline/Search.cfg"
  (cd "$work/baseline" && exec ./trovanexd >/dev/null 2>"$work/baseline/stderr.log") &
  pids+=($!)
  baseline_pid=$!
fi

cat >"$work/tinyproxy/tinyproxy.conf" <<CONF
Port $tinyproxy_port
Listen 127.0.0.1
Timeout 600
MaxClients 1024
LogLevel Critical
ConnectPort $tls_port
CONF
tinyproxy -d -c "$work/tinyproxy/tinyproxy.conf" >/dev/null 2>&1 &
pids+=($!)
tinyproxy_pid=$!

if wanted https; then
  # Opens HTTPS to every address of the origin; no rules, so it relays what it opens.
  https_hosts=""
  for i in $(seq "$loopback_hosts"); do https_hosts+="${https_hosts:+;}127.0.0.$i"; done
  cp "$build/src/trovanexd" "$work/opened/"
  printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=60000\r\n[Https]\r\nCapture=1\r\nHosts=%s\r\nExtraCaFile=%s\r\n' \
    "$opened_port" "$https_hosts" "$work/cert.pem" >"$work/opened/trovanexd.ini"
  (cd "$work/opened" && exec ./trovanexd >"$work/opened/http.log" 2>&1) &
  pids+=($!)
  opened_pid=$!
  mitmdump --listen-host 127.0.0.1 --listen-port "$mitmdump_port" -q --set confdir="$work/mitmdump" \
    --set stream_large_bodies=1m --set ssl_verify_upstream_trusted_ca="$work/cert.pem" >"$work/mitmdump/out.log" 2>&1 &
  pids+=($!)
  mitmdump_pid=$!
fi

wait_for_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "port $1 did not open" >&2
  exit 1
}
wait_for_port "$origin_port"
wait_for_port "$trovanex_port"
wait_for_port "$tinyproxy_port"
wait_for_port "$capture_port"
wait_for_port "$tls_port"
if wanted https; then
  wait_for_port "$https_port"
  wait_for_port "$opened_port"
  wait_for_port "$mitmdump_port"
fi
[ -z "$baseline_pid" ] || wait_for_port "$baseline_port"

# CPU seconds (user + system) of a process and all its threads.
cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$1/stat"
}

url="http://127.0.0.1:$origin_port"
declare -A speed_sum cpu_sum

# proxy_for NAME: curl's proxy arguments (`proxy`) and the proxy's process (`pid`) for a peer.
proxy_for() {
  proxy=()
  pid=""
  case $1 in
    trovanexd) proxy=(-x "http://127.0.0.1:$trovanex_port"); pid=$trovanex_pid ;;
    tinyproxy) proxy=(-x "http://127.0.0.1:$tinyproxy_port"); pid=$tinyproxy_pid ;;
    trovanexd+save) proxy=(-x "http://127.0.0.1:$capture_port"); pid=$capture_pid ;;
    opened) proxy=(-x "http://127.0.0.1:$opened_port" --cacert "$work/opened/trovanex-ca.crt"); pid=$opened_pid ;;
    blind) proxy=(-x "http://127.0.0.1:$trovanex_port" --cacert "$work/cert.pem"); pid=$trovanex_pid ;;
    mitmdump) proxy=(-x "http://127.0.0.1:$mitmdump_port" --cacert "$work/mitmdump/mitmproxy-ca-cert.pem"); pid=$mitmdump_pid ;;
  esac
}

# fetch_body NAME URL [CURL ARGUMENTS]: the large body through NAME; sets `speed` and the
# proxy's CPU seconds before it (`cpu_before`).
fetch_body() {
  local name=$1 target=$2 code got
  shift 2
  proxy_for "$name"
  cpu_before=0
  [ -n "$pid" ] && cpu_before=$(cpu_seconds "$pid")
  read -r code got speed < <(curl -s "$@" "${proxy[@]}" -o /dev/null \
    -w '%{http_code} %{size_download} %{speed_download}\n' "$target")
  fetched=1
  [ "$code" = 200 ] && [ "$got" = $((size_mb * 1048576)) ] || { fetched=""; echo "  $name: answer $code with $got bytes" >&2; }
}

# record_body SECTION ROUND NAME: prints the round's figures, the proxy's CPU counted up to
# now, and adds them to the section's sums.
record_body() {
  local after=0 mbps cpu
  [ -n "$pid" ] && after=$(cpu_seconds "$pid")
  mbps=$(awk -v s="$speed" 'BEGIN { printf "%.1f", s / 1048576 }')
  cpu=$(awk -v a="$after" -v b="$cpu_before" -v m="$size_mb" 'BEGIN { printf "%.3f", (a - b) * 1024 / m }')
  printf '  round %d %-14s %8s MB/s  %6s CPU s/GiB\n' "$2" "$3" "$mbps" "$cpu"
  speed_sum[$1/$3]=$(awk -v a="${speed_sum[$1/$3]:-0}" -v b="$mbps" 'BEGIN { print a + b }')
  cpu_sum[$1/$3]=$(awk -v a="${cpu_sum[$1/$3]:-0}" -v b="$cpu" 'BEGIN { print a + b }')
}

# summarize_bodies SECTION NAME...: the means and their ratio to "direct".
summarize_bodies() {
  local section=$1 direct name
  shift
  direct=$(awk -v s="${speed_sum[$section/direct]}" -v r="$rounds" 'BEGIN { print s / r }')
  for name in "$@"; do
    awk -v s="${speed_sum[$section/$name]}" -v c="${cpu_sum[$section/$name]}" -v r="$rounds" -v d="$direct" -v n="$name" \
      'BEGIN { printf "  %-14s %8.1f MB/s  %5.2f of direct  %6.3f CPU s/GiB\n", n, s / r, s / r / d, c / r }'
  done
}

# compare_bodies SECTION NAME PEER [TARGET]: NAME's mean throughput and CPU per GiB against
# PEER's, and the throughput ratio's target when there is one.
compare_bodies() {
  awk -v t="${speed_sum[$1/$2]}" -v p="${speed_sum[$1/$3]}" -v tc="${cpu_sum[$1/$2]}" -v pc="${cpu_sum[$1/$3]}" \
    -v n="$2 / $3" -v goal="${4:-}" \
    'BEGIN { printf "  %s: %.2f x throughput, %.2f x CPU per GiB%s\n", n, (p > 0 ? t / p : 0), (pc > 0 ? tc / pc : 0),
             (goal == "" ? "" : "  (target >= " goal " x)") }'
}

if wanted large; then
  echo "Large body: ${size_mb} MiB, ${rounds} rounds, interleaved"
  names=(direct trovanexd tinyproxy trovanexd+save)
  decision_sum=0
  for round in $(seq "$rounds"); do
    for name in "${names[@]}"; do
      # A fresh start each round: otherwise the address is answered from the saved file.
      [ "$name" = trovanexd+save ] && rm -f "$work/saved/big.bin" "$work/capture/hash.dat"
      fetch_body "$name" "$url/big.bin"
      if [ "$name" = trovanexd+save ]; then
        # The browser has the last byte; the decision (digest, hash-list check, move) follows.
        decided_at=$EPOCHREALTIME
        wait_listed "$work/saved/big.bin" "$work/capture/hash.dat" big.bin
        decision=$(awk -v a="$EPOCHREALTIME" -v b="$decided_at" -v m="$size_mb" 'BEGIN { printf "%.2f", (a - b) * 1024 / m }')
        decision_sum=$(awk -v a="$decision_sum" -v b="$decision" 'BEGIN { print a + b }')
        cmp -s "$work/saved/big.bin" "$work/www/big.bin" || echo "  saved file differs from the origin's" >&2
        echo "  round $round save decision ${decision} s/GiB"
      fi
      record_body large "$round" "$name"
    done
  done
  echo
  echo "Large body, means over $rounds rounds:"
  summarize_bodies large "${names[@]}"
  compare_bodies large trovanexd tinyproxy
  awk -v t="${speed_sum[large/trovanexd+save]}" -v p="${speed_sum[large/tinyproxy]}" -v d="$decision_sum" -v r="$rounds" \
    'BEGIN { printf "  trovanexd+save / tinyproxy: %.2f x throughput; save decision %.2f s/GiB\n", t / p, d / r }'
fi
echo
if wanted small; then
  # Rounds interleave the proxies at each concurrency; the medians are what to compare, since
  # client, origin and proxies share this machine's cores with whatever else runs.
  small_rounds=${SMALL_ROUNDS:-$rounds}
  small_names=(trovanexd tinyproxy)
  [ -n "$baseline_pid" ] && small_names+=(baseline)
  echo "1 KiB answers, a new connection each (ab), $small_rounds rounds, interleaved:"
  declare -A small_rps small_cpu median_rps median_cpu
  for concurrency in 1 16 64; do
    requests=$((concurrency == 1 ? 3000 : 15000))
    for round in $(seq "$small_rounds"); do
      for name in "${small_names[@]}"; do
        case $name in
          trovanexd) port=$trovanex_port; pid=$trovanex_pid ;;
          tinyproxy) port=$tinyproxy_port; pid=$tinyproxy_pid ;;
          baseline) port=$baseline_port; pid=$baseline_pid ;;
        esac
        before=$(cpu_seconds "$pid")
        start=$(date +%s.%N)
        read -r rps done_count < <(ab -q -n "$requests" -c "$concurrency" -X "127.0.0.1:$port" "$url/1k.bin" 2>/dev/null |
          awk '/Requests per second/ { rps = $4 } /Complete requests/ { done_count = $3 } /Failed requests/ { failed = $3 }
               END { if (failed > 0) print "failed:" failed > "/dev/stderr"; print rps + 0, done_count + 0 }')
        end=$(date +%s.%N)
        after=$(cpu_seconds "$pid")
        cpu_us=$(awk -v a="$after" -v b="$before" -v n="$done_count" 'BEGIN { printf "%.1f", (n > 0 ? 1e6 * (a - b) / n : 0) }')
        awk -v c="$concurrency" -v r="$round" -v n="$name" -v q="$rps" -v u="$cpu_us" -v a="$after" -v b="$before" -v s="$start" -v e="$end" \
          'BEGIN { printf "  concurrency %2d round %d %-10s %8.0f requests/s  %6.1f CPU µs/request  proxy CPU %3.0f%% of one core\n", c, r, n, q, u, 100 * (a - b) / (e - s) }'
        small_rps[$concurrency/$name]+=" $rps"
        small_cpu[$concurrency/$name]+=" $cpu_us"
      done
    done
  done
  median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
  echo "1 KiB answers, medians over $small_rounds rounds:"
  for concurrency in 1 16 64; do
    for name in "${small_names[@]}"; do
      rps=$(echo "${small_rps[$concurrency/$name]}" | median)
      cpu_us=$(echo "${small_cpu[$concurrency/$name]}" | median)
      printf '  concurrency %2d %-10s %8.0f requests/s  %6.1f CPU µs/request\n' "$concurrency" "$name" "$rps" "$cpu_us"
      median_rps[$name]=$rps
      median_cpu[$name]=$cpu_us
    done
    awk -v t="${median_rps[trovanexd]}" -v p="${median_rps[tinyproxy]}" -v tc="${median_cpu[trovanexd]}" -v pc="${median_cpu[tinyproxy]}" -v c="$concurrency" \
      'BEGIN { printf "  concurrency %2d trovanexd / tinyproxy: %.2f x requests/s, %.2f x CPU per request\n", c, t / p, (pc > 0 ? tc / pc : 0) }'
  done
fi
echo
if wanted connect; then
  echo "CONNECT: ${size_mb} MiB over HTTPS, ${rounds} rounds, interleaved"
  tls_url="https://localhost:$tls_port"
  for round in $(seq "$rounds"); do
    for name in direct trovanexd tinyproxy; do
      fetch_body "$name" "$tls_url/big.bin" --cacert "$work/cert.pem"
      record_body connect "$round" "$name"
    done
  done
  echo "CONNECT, means over $rounds rounds:"
  summarize_bodies connect direct trovanexd tinyproxy
  compare_bodies connect trovanexd tinyproxy

  # Short tunnels: one curl with 16 transfers at a time; the origin closes after each answer,
  # so every request opens a new TCP connection, a new tunnel and a new TLS session.
  short_count=2000
  for _ in $(seq "$short_count"); do printf 'url = "%s/1k.bin"\noutput = "/dev/null"\n' "$tls_url"; done >"$work/short.curl"
  echo "CONNECT: 1 KiB over a new TLS connection each, concurrency 16, $short_count requests:"
  for name in trovanexd tinyproxy; do
    if [ "$name" = trovanexd ]; then port=$trovanex_port; pid=$trovanex_pid; else port=$tinyproxy_port; pid=$tinyproxy_pid; fi
    before=$(cpu_seconds "$pid")
    start=$(date +%s.%N)
    ok=$(curl -s --parallel --parallel-max 16 --cacert "$work/cert.pem" -x "http://127.0.0.1:$port" \
      -w '%{http_code}\n' -K "$work/short.curl" 2>/dev/null | grep -c '^200$' || true)
    end=$(date +%s.%N)
    after=$(cpu_seconds "$pid")
    [ "$ok" = "$short_count" ] || echo "  $name: only $ok of $short_count answered 200" >&2
    awk -v n="$name" -v k="$ok" -v a="$after" -v b="$before" -v s="$start" -v e="$end" \
      'BEGIN { printf "  %-10s %8.0f tunnels/s  proxy CPU %3.0f%% of one core\n", n, k / (e - s), 100 * (a - b) / (e - s) }'
  done
fi

if wanted decode; then
  echo
  coded_mb=$(awk -v b="$(stat -c %s "$work/www/gz/page.txt.gz")" 'BEGIN { printf "%.1f", b / 1048576 }')
  echo "Capture of gzip page text: ${size_mb} MiB of content, ${coded_mb} MiB coded, ${rounds} rounds, interleaved"
  declare -A decode_speed decode_time
  # With a baseline build, "baseline" is that build keeping the same answer decoded.
  decode_names=(as-sent decoded)
  [ -n "$baseline_pid" ] && decode_names+=(baseline)
  for name in "${decode_names[@]}"; do decode_speed[$name]=0; decode_time[$name]=0; done
  for round in $(seq "$rounds"); do
    # The two decoded captures take turns at going first: one that follows another finds the
    # memory the other's files have just let go of, which is quicker to take.
    order=("${decode_names[@]}")
    [ -n "$baseline_pid" ] && ((round % 2 == 0)) && order=(as-sent baseline decoded)
    for name in "${order[@]}"; do
      if [ "$name" = baseline ]; then
        port=$baseline_port; folder=$work/baseline
      else
        port=$capture_port; folder=$work/capture
      fi
      rm -f "$work/saved/"page.txt* "$folder/hash.dat"
      if [ "$name" = as-sent ]; then
        file=page.txt.gz; encoding=()
      else
        file=page.txt; encoding=(-H 'Accept-Encoding: gzip')
      fi
      read -r code speed < <(curl -s -x "http://127.0.0.1:$port" "${encoding[@]}" -o /dev/null \
        -w '%{http_code} %{speed_download}\n' "$url/gz/$file")
      decided_at=$EPOCHREALTIME
      wait_listed "$work/saved/$file" "$folder/hash.dat" "gz/$file"
      decision=$(awk -v a="$EPOCHREALTIME" -v b="$decided_at" -v m="$size_mb" 'BEGIN { printf "%.2f", (a - b) * 1024 / m }')
      [ "$code" = 200 ] || echo "  $name: answer $code" >&2
      if [ "$file" = page.txt ]; then
        cmp -s "$work/saved/page.txt" "$work/www/gz/page.txt" || echo "  $name: the decoded copy differs from the page" >&2
      fi
      mbps=$(awk -v s="$speed" 'BEGIN { printf "%.1f", s / 1048576 }')
      printf '  round %d %-8s %8s MB/s coded to the browser  kept after %5s s per GiB of content\n' "$round" "$name" "$mbps" "$decision"
      decode_speed[$name]=$(awk -v a="${decode_speed[$name]}" -v b="$mbps" 'BEGIN { print a + b }')
      decode_time[$name]=$(awk -v a="${decode_time[$name]}" -v b="$decision" 'BEGIN { print a + b }')
    done
  done
  echo "Capture of gzip page text, means over $rounds rounds:"
  for name in "${decode_names[@]}"; do
    awk -v s="${decode_speed[$name]}" -v t="${decode_time[$name]}" -v r="$rounds" -v n="$name" \
      'BEGIN { printf "  %-8s %8.1f MB/s to the browser  kept %5.2f s per GiB of content after the last byte\n", n, s / r, t / r }'
  done
  awk -v d="${decode_speed[decoded]}" -v a="${decode_speed[as-sent]}" \
    'BEGIN { printf "  decoded / as sent: %.2f x the browser'"'"'s speed\n", d / a }'
  if [ -n "$baseline_pid" ]; then
    awk -v d="${decode_time[decoded]}" -v b="${decode_time[baseline]}" \
      'BEGIN { printf "  decoded / baseline: %.2f x the time until the copy is kept\n", d / b }'
  fi
fi

if wanted https; then
  echo
  https_url="https://127.0.0.1:$https_port"
  load="$build/bench/trovanex_https_load"
  https_seconds="${HTTPS_SECONDS:-5}"
  https_names=(opened blind mitmdump)
  for _ in $(seq 100); do [ -s "$work/mitmdump/mitmproxy-ca-cert.pem" ] && break; sleep 0.1; done
  # What the opened proxy logged last, shown when it failed.
  opened_log() { tail -n "${1:-15}" "$work/opened/http.log" | sed 's/^/    opened: /' >&2; }
  # The local CA is made at first need; asking for it at the reserved host is such a need.
  ca_code=$(curl -s -x "http://127.0.0.1:$opened_port" -o "$work/opened/served-ca.crt" -w '%{http_code}' \
    http://trovanex.internal/ca.crt || true)
  fingerprint() {
    openssl x509 -noout -fingerprint -sha256 -in "$1" 2>/dev/null ||
      openssl x509 -inform DER -noout -fingerprint -sha256 -in "$1" 2>/dev/null || echo "unreadable"
  }
  if [ "$ca_code" != 200 ] || [ ! -s "$work/opened/trovanex-ca.crt" ]; then
    echo "  opened: http://trovanex.internal/ca.crt answered $ca_code and trovanex-ca.crt is" \
      "$([ -s "$work/opened/trovanex-ca.crt" ] && echo there || echo missing); left out of the https section" >&2
    opened_log 20
    https_names=(blind mitmdump)
  elif [ "$(fingerprint "$work/opened/served-ca.crt")" != "$(fingerprint "$work/opened/trovanex-ca.crt")" ]; then
    echo "  opened: the CA served at trovanex.internal is not trovanex-ca.crt" >&2
  fi
  has_opened() { [ "${https_names[0]}" = opened ]; }

  # https_peer NAME: the proxy's port (`port`), its process (`pid`) and the CA its client
  # trusts (`ca`).
  https_peer() {
    case $1 in
      opened) port=$opened_port; pid=$opened_pid; ca=$work/opened/trovanex-ca.crt ;;
      blind) port=$trovanex_port; pid=$trovanex_pid; ca=$work/cert.pem ;;
      mitmdump) port=$mitmdump_port; pid=$mitmdump_pid; ca=$work/mitmdump/mitmproxy-ca-cert.pem ;;
    esac
  }
  # field KEY LINE: the value of KEY=value in trovanex_https_load's last line.
  field() { tr ' ' '\n' <<<"$2" | awk -F= -v k="$1" '$1 == k { print $2 }'; }
  # run_load NAME ARGUMENTS...: trovanex_https_load through NAME, its failures shown with the
  # proxy's name; sets `line` to its figures.
  run_load() {
    local name=$1
    shift
    line=$("$load" --proxy "127.0.0.1:$port" --cacert "$ca" --path /1k.bin "$@" 2>"$work/load.err" | tail -n 1) || true
    if [ -s "$work/load.err" ]; then
      sed "s/^/  $name: /" "$work/load.err" >&2
      [ "$name" = opened ] && opened_log
    fi
    [ -n "$line" ] || line="failed=all"
  }

  # HTTP/1.1 everywhere: the opened tunnel offers nothing else, so the peers carry the same.
  echo "HTTPS: ${size_mb} MiB, ${rounds} rounds, interleaved"
  for round in $(seq "$rounds"); do
    for name in direct "${https_names[@]}"; do
      direct_ca=()
      [ "$name" = direct ] && direct_ca=(--cacert "$work/cert.pem")
      fetch_body "$name" "$https_url/big.bin" --http1.1 "${direct_ca[@]}"
      [ "$name" = opened ] && [ -z "$fetched" ] && opened_log
      record_body https "$round" "$name"
    done
  done
  echo "HTTPS, means over $rounds rounds:"
  summarize_bodies https direct "${https_names[@]}"
  if has_opened; then
    compare_bodies https opened blind 0.5
    compare_bodies https opened mitmdump 2
  fi

  echo "HTTPS: 1 KiB, ${https_seconds} s each, ${rounds} rounds, interleaved"
  declare -A rps_sum latency_sum
  loads=("keepalive 1" "new 1" "new 16")
  for round in $(seq "$rounds"); do
    for shape in "${loads[@]}"; do
      read -r mode concurrency <<<"$shape"
      for name in "${https_names[@]}"; do
        https_peer "$name"
        before=$(cpu_seconds "$pid")
        start=$(date +%s.%N)
        run_load "$name" --target "127.0.0.1:$https_port" --mode "$mode" -c "$concurrency" --duration "$https_seconds"
        end=$(date +%s.%N)
        after=$(cpu_seconds "$pid")
        rps=$(field rps "$line")
        median=$(field median_ms "$line")
        awk -v r="$round" -v m="$mode" -v c="$concurrency" -v n="$name" -v q="${rps:-0}" -v l="${median:-nan}" \
          -v p="$(field p99_ms "$line")" -v f="$(field failed "$line")" -v a="$after" -v b="$before" -v s="$start" -v e="$end" \
          'BEGIN { printf "  round %d %-9s c=%-2d %-9s %8.0f requests/s  median %7.2f ms  p99 %7.2f ms  failed %s  proxy CPU %3.0f%%\n",
                   r, m, c, n, q, l, p, f, 100 * (a - b) / (e - s) }'
        key="$mode c=$concurrency/$name"
        rps_sum[$key]=$(awk -v a="${rps_sum[$key]:-0}" -v b="${rps:-0}" 'BEGIN { print a + b }')
        latency_sum[$key]=$(awk -v a="${latency_sum[$key]:-0}" -v b="${median:-0}" 'BEGIN { print a + b }')
      done
    done
  done
  echo "HTTPS 1 KiB, means over $rounds rounds:"
  for shape in "${loads[@]}"; do
    read -r mode concurrency <<<"$shape"
    for name in "${https_names[@]}"; do
      key="$mode c=$concurrency/$name"
      awk -v k="$mode c=$concurrency" -v n="$name" -v q="${rps_sum[$key]}" -v l="${latency_sum[$key]}" -v r="$rounds" \
        'BEGIN { printf "  %-14s %-9s %8.0f requests/s  median %7.2f ms\n", k, n, q / r, l / r }'
    done
    if has_opened; then
      awk -v k="$mode c=$concurrency" -v o="${rps_sum[$mode c=$concurrency/opened]}" \
        -v m="${rps_sum[$mode c=$concurrency/mitmdump]}" -v b="${rps_sum[$mode c=$concurrency/blind]}" \
        'BEGIN { printf "  %-14s opened / mitmdump: %.2f x (target >= 5 x)  opened / blind: %.2f x\n",
                 k, (m > 0 ? o / m : 0), (b > 0 ? o / b : 0) }'
    fi
  done

  # Each round gives every proxy the same fresh addresses (never seen by any of them), each
  # followed by later tunnels to it, alternating with tunnels to 127.0.0.1 as the baseline.
  per_round=$(((loopback_hosts - 1) / rounds))
  ((per_round > 6)) && per_round=6
  echo "HTTPS: first tunnel to a new host, ${per_round} hosts a round, ${rounds} rounds:"
  declare -A first_sum later_sum
  for round in $(seq "$rounds"); do
    hosts=""
    for i in $(seq "$per_round"); do hosts+="${hosts:+,}127.0.0.$((1 + (round - 1) * per_round + i))"; done
    for name in "${https_names[@]}"; do
      https_peer "$name"
      run_load "$name" --target "127.0.0.1:$https_port" --mode first --hosts "$hosts" --repeat 10
      first=$(field first_extra_ms "$line")
      later=$(field later_extra_ms "$line")
      awk -v r="$round" -v n="$name" -v f="$(field first_ms "$line")" -v l="$(field later_ms "$line")" \
        -v b="$(field base_ms "$line")" -v fe="${first:-nan}" -v le="${later:-nan}" \
        'BEGIN { printf "  round %d %-9s first %6.2f ms  later %6.2f ms  baseline %6.2f ms  first adds %6.2f ms  later add %6.2f ms\n",
                 r, n, f, l, b, fe, le }'
      first_sum[$name]=$(awk -v a="${first_sum[$name]:-0}" -v b="${first:-0}" 'BEGIN { print a + b }')
      later_sum[$name]=$(awk -v a="${later_sum[$name]:-0}" -v b="${later:-0}" 'BEGIN { print a + b }')
    done
  done
  echo "HTTPS first tunnel, means over $rounds rounds (medians within each):"
  for name in "${https_names[@]}"; do
    goal=""
    [ "$name" = opened ] && goal="  (target: first <= 10 ms, later none)"
    awk -v n="$name" -v f="${first_sum[$name]}" -v l="${later_sum[$name]}" -v r="$rounds" -v g="$goal" \
      'BEGIN { printf "  %-9s first adds %6.2f ms  later add %6.2f ms%s\n", n, f / r, l / r, g }'
  done
fi
