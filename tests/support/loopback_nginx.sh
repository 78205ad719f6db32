# Sourced by the scripts that need a real origin: nginx on 127.0.0.1 serving a folder, with
# its pid file, configuration and logs in the caller's $work (which must be readable by the
# unprivileged nginx workers).

# start_origin PORT ROOT [SERVER LINES] [MORE SERVERS]: starts nginx on 127.0.0.1:PORT serving
# ROOT; the optional lines go into its server block (locations with limits, compression), and
# the last argument's server blocks beside it (a TLS origin). False when it did not start.
# Nothing is logged unless a server asks: "access_log FILE connections;" writes a line per
# request with nginx's connection number, the status, the request line and the Host and
# Proxy-Connection lines it got.
start_origin() {
  cat >"$work/nginx.conf" <<CONF
pid $work/nginx.pid;
error_log $work/nginx-error.log;
worker_processes 1;
events { worker_connections 256; }
http {
  access_log off;
  log_format connections '\$connection \$status "\$request" host=\$http_host pc=\$http_proxy_connection';
  types {
    image/jpeg jpg; text/html html; application/zip zip; video/mp4 mp4;
    application/octet-stream bin;
  }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$1;
    root $2;
    ${3:-}
  }
  ${4:-}
}
CONF
  nginx -c "$work/nginx.conf" -p "$work" 2>>"$work/nginx-start.log" || return 1
  for _ in $(seq 50); do [ -s "$work/nginx.pid" ] && return 0; sleep 0.1; done
  return 1
}

# stop_origin: ends nginx, if it runs.
stop_origin() {
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null
  return 0
}
