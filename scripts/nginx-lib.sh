# Sourced by the demo and the engine benchmark: serves a directory from nginx
# on a free loopback port, logging each request's body bytes first, then its URI,
# the time it ended ($msec), how long it took and the connection it came on.
#   start_nginx ROOT DIR   sets PORT, NGINX_PID and ACCESS (DIR/access.log)
start_nginx() {
  local root=$1 dir=$2 user_line=""
  PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  ACCESS="$dir/access.log"
  mkdir -p "$dir/tmp"
  if [ "$(id -u)" -eq 0 ]; then user_line="user root;"; fi
  cat > "$dir/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 256; }
http {
  log_format bytes '\$body_bytes_sent \$request_uri \$msec \$request_time \$connection';
  access_log $ACCESS bytes;
  client_body_temp_path $dir/tmp;
  proxy_temp_path $dir/tmp;
  fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp;
  scgi_temp_path $dir/tmp;
  default_type application/octet-stream;
  sendfile on;
  keepalive_requests 100000;
  server { listen 127.0.0.1:$PORT; root $root; }
}
CONF
  nginx -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" &
  NGINX_PID=$!
  for _ in $(seq 50); do [ -s "$dir/nginx.pid" ] && break; sleep 0.1; done
  touch "$ACCESS"
}
