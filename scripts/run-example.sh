#!/usr/bin/env bash
# Builds the project and shows the bundled example twice:
#  1. offline: make-update compares example/installation with example/new,
#     the updater applies the package to a copy of the installation;
#  2. the whole path: make-release publishes both trees as releases 1.0 and
#     2.0 into a site, nginx serves it on a free loopback port, and the
#     installed 1.0 checks, fetches the partial package, applies it and comes
#     back as 2.0.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
bash scripts/build.sh build
tools=$top/build/tools
updater=$top/build/driver/updater

work=out/example
rm -rf "$work"
mkdir -p "$work"
work=$top/$work

echo "=== 1. offline: make-update, zav, updater"
cp -a example/installation "$work/installation"
"$tools/make-update" example/installation example/new "$work/update"
echo "== package"
"$tools/zav" list "$work/update/update.zav"
echo "== update.manifest"
# Extracted to a file and printed: extracting to /dev/stdout would reopen
# (and truncate) a file that this script's output is redirected to.
"$tools/zav" extract "$work/update/update.zav" update.manifest "$work/update.manifest"
cat "$work/update.manifest"
echo "== applying the update to $work/installation"
(cd "$work/installation" && "$updater" "$work/update" 0)
echo "== update.status"
cat "$work/update/update.status"
echo "== update.log"
cat "$work/update/update.log"
echo "== installation after the update"
(cd "$work/installation" && find . -type f -printf '%m %p\n' | sort)
echo "== bin/app says"
"$work/installation/bin/app"

echo
echo "=== 2. online: make-release, nginx, update-client"
site=$work/site
"$tools/zav" keygen "$work/vendor.secret" "$work/vendor.pub"
"$tools/make-release" --out "$site" --version 1.0 --tree example/installation \
  --key "$work/vendor.secret"
"$tools/make-release" --out "$site" --version 2.0 --tree example/new \
  --from 1.0=example/installation --key "$work/vendor.secret"
echo "== site"
(cd "$site" && find . -type f -printf '%s\t%p\n' | sort -k2)

# nginx as a plain child of this script, with its own prefix, configuration
# and logs, on a port that was free a moment ago.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log $work/nginx/access.log;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $site; }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null; wait $nginx_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
feed=http://127.0.0.1:$port/stable.json
echo "== serving $site at http://127.0.0.1:$port/"

app=$work/app
cp -a example/installation "$app"
# The key and the updater ship with the application, beside each other.
cp "$updater" "$updater.ini" "$tools/update-client" "$app/bin/"
cp "$work/vendor.pub" "$app/bin/updater.pub"
mkdir -p "$work/app-updates"
echo "== the installed application says"
"$app/bin/app"
echo "== update-client check $feed 1.0"
"$app/bin/update-client" check "$feed" 1.0 --key "$app/bin/updater.pub"
echo "== update-client fetch $feed 1.0 $work/app-updates"
"$app/bin/update-client" fetch "$feed" 1.0 "$work/app-updates" --key "$app/bin/updater.pub"
echo "== update-client apply (from the installation)"
# The updater waits for the application, update-client's parent, to end: a
# subshell that ends as soon as apply returns plays the application here.
(cd "$app" && "$app/bin/update-client" apply "$work/app-updates"; exit $?)
for _ in $(seq 100); do
  [ -s "$work/app-updates/update.status" ] && break
  sleep 0.1
done
echo "== update-client status"
"$app/bin/update-client" status "$work/app-updates"
echo "== the application now says"
"$app/bin/app"
echo "== update-client check $feed 2.0"
"$app/bin/update-client" check "$feed" 2.0 --key "$app/bin/updater.pub"
echo "== nginx access log"
cat "$work/nginx/access.log"
