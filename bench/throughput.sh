#!/usr/bin/env bash
# /state throughput with one request per connection (wrk, "Connection: close"),
# against nginx serving the same body from 127.0.0.1 in the same run. Prints
# one JSON line. Usage: throughput.sh <bridge executable>
set -euo pipefail
exe=$1
duration=${WRK_SECONDS:-10}
work=$(mktemp -d)
cleanup() { [ -n "${bridge:-}" ] && kill "$bridge" 2>/dev/null; [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

"$exe" --xplane 127.0.0.73 --port 0 >"$work/bridge.out" 2>&1 </dev/null &
bridge=$!
for _ in $(seq 100); do grep -q 'bridge ready' "$work/bridge.out" && break; sleep 0.05; done
port=$(sed -n 's/.*bridge ready on http:\/\/localhost:\([0-9]*\).*/\1/p' "$work/bridge.out")
[ -n "$port" ] || { echo "throughput: the bridge did not get ready: $(cat "$work/bridge.out")" >&2; exit 1; }

nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat >"$work/nginx.conf" <<CONF
worker_processes auto;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work; proxy_temp_path $work; fastcgi_temp_path $work; uwsgi_temp_path $work; scgi_temp_path $work;
  server {
    listen 127.0.0.1:$nginx_port;
    location = /state {
      default_type application/json;
      add_header Access-Control-Allow-Origin "*";
      add_header Access-Control-Allow-Methods "GET, OPTIONS";
      add_header Access-Control-Allow-Headers "*";
      add_header Access-Control-Allow-Private-Network "true";
      return 200 '{"live":false}';
    }
  }
}
CONF
nginx -c "$work/nginx.conf" -p "$work" -g 'daemon on;'
sleep 0.3

run_wrk() {  # prints "requests_per_second errors"
  wrk -t2 -c32 -d"${duration}s" -H "Connection: close" "http://127.0.0.1:$1/state" >"$work/wrk.out" 2>&1 || true
  python3 - "$work/wrk.out" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
errors = sum(int(x) for x in re.findall(r"(?:connect|read|write|timeout) (\d+)", text))
m = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
errors += int(m.group(1)) if m else 0
print(rps, errors)
PY
}
load=$(dirname "$exe")/bench/state_load
# Each measurement in its own substitution, so that a failed one stops the run.
out=$(run_wrk "$port")
read -r ours ours_errors <<<"$out"
out=$(run_wrk "$nginx_port")
read -r theirs theirs_errors <<<"$out"
out=$("$load" "$port" 8 "$duration")
read -r ours2 ours2_failed <<<"$out"
out=$("$load" "$nginx_port" 8 "$duration")
read -r theirs2 theirs2_failed <<<"$out"
python3 -c "
import json
ours, theirs = $ours2, $theirs2
print(json.dumps({'name': '/state throughput, one request per connection (state_load, 8 workers)', 'value': round(ours),
  'unit': 'req/s', 'target': '>= half of nginx, no failed request', 'ok': ours >= theirs / 2 and $ours2_failed == 0,
  'yardstick': 'nginx-light: %d req/s; failed: ours %d, nginx %d; ratio %.2f' % (theirs, $ours2_failed, $theirs2_failed, ours / theirs)}))
ours, theirs = $ours, $theirs
print(json.dumps({'name': '/state throughput, wrk -c32 Connection: close', 'value': round(ours), 'unit': 'req/s',
  'target': '>= half of nginx', 'ok': ours >= theirs / 2,
  'yardstick': 'nginx-light: %d req/s; ratio %.2f; wrk socket errors ours %d / nginx %d (see BENCHMARKS.md)' % (theirs, ours / theirs, $ours_errors, $theirs_errors)}))"
