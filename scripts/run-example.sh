#!/usr/bin/env bash
# Builds the project and shows the bundled example twice:
#  1. offline: make-update compares example/installation with example/new,
#     the updater applies the package to a copy of the installation;
#  2. the whole path: make-release makes a TUF repository and its keys,
#     publishes both trees as releases 1.0 and 2.0 and re-signs the
#     timestamp; nginx serves the site on a free loopback port, and the
#     installed 1.0 checks, fetches 2.0, applies it and comes back as 2.0;
#  3. steering: 3.0 is published with a rollout, halted, resumed and taken
#     by hand, then withdrawn in favour of 2.0, to which the installation goes back.
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
keys=$work/keys
signing=(--secret-key "$keys/targets-1.secret" --secret-key "$keys/snapshot-1.secret"
         --secret-key "$keys/timestamp-1.secret")
echo "== make-release init: a TUF repository and its keys"
"$tools/make-release" init --out "$site" --keys "$keys"
echo "== make-release publish 1.0 and 2.0"
"$tools/make-release" publish --out "$site" --release 1.0 --tree example/installation "${signing[@]}"
"$tools/make-release" publish --out "$site" --release 2.0 --tree example/new \
  --from 1.0=example/installation --notes "Plugins arrive." "${signing[@]}"
echo "== make-release timestamp (the daily job; only the timestamp key is online)"
"$tools/make-release" timestamp --out "$site" "${signing[@]}"
echo "== site"
(cd "$site" && find . -type f ! -name .lock -printf '%s\t%p\n' | sort -k2)

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
metadata=http://127.0.0.1:$port/metadata/
echo "== serving $site at http://127.0.0.1:$port/"

app=$work/app
cp -a example/installation "$app"
# The updater, its key and the trusted root ship with the application.
cp "$updater" "$updater.ini" "$tools/update-client" "$app/bin/"
cp "$keys/updater.pub" "$app/bin/updater.pub"
cp "$site/metadata/1.root.json" "$app/bin/root.json"
client=("$app/bin/update-client")
options=(--root "$app/bin/root.json" --public-key "$app/bin/updater.pub")
mkdir -p "$work/app-updates"
echo "== the installed application says"
"$app/bin/app"
echo "== update-client check $metadata 1.0 $work/app-updates"
"${client[@]}" check "$metadata" 1.0 "$work/app-updates" "${options[@]}"
echo "== update-client fetch $metadata 1.0 $work/app-updates"
"${client[@]}" fetch "$metadata" 1.0 "$work/app-updates" "${options[@]}"
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
echo "== the installed release, as the updater recorded it"
cat "$app/.update-release"
echo "== update-client check $metadata 2.0 $work/app-updates"
"${client[@]}" check "$metadata" 2.0 "$work/app-updates" "${options[@]}"
echo "== nginx access log"
cat "$work/nginx/access.log"

echo
echo "=== 3. steering a release: a rollout, a halt, a withdrawal"
cp -a example/new "$work/tree-3.0"
sed -i 's/2\.0/3.0/' "$work/tree-3.0/bin/app"
updates=("$metadata" "$work/app-updates" "${options[@]}")
apply_and_wait() {
  rm -f "$work/app-updates/update.status"
  (cd "$app" && "$app/bin/update-client" apply "$work/app-updates"; exit $?)
  for _ in $(seq 100); do
    [ -s "$work/app-updates/update.status" ] && break
    sleep 0.1
  done
  echo "status: $(cat "$work/app-updates/update.status"); the application says: $("$app/bin/app")"
}
echo "== make-release publish 3.0, rolled out to none today, to all tomorrow"
"$tools/make-release" publish --out "$site" --release 3.0 --tree "$work/tree-3.0" --from 2.0=example/new \
  --steps 0,100 --interval 1d "${signing[@]}"
echo "== update-client check: not this installation's turn yet"
"${client[@]}" check "${updates[0]}" 2.0 "${updates[@]:1}"
echo "== make-release halt 3.0; a check by hand (--manual) does not get it either"
"$tools/make-release" halt --out "$site" --release 3.0 "${signing[@]}"
"${client[@]}" check "${updates[0]}" 2.0 "${updates[@]:1}" --manual
echo "== make-release resume 3.0; a check by hand gets it"
"$tools/make-release" resume --out "$site" --release 3.0 "${signing[@]}"
"${client[@]}" fetch "${updates[0]}" 2.0 "${updates[@]:1}" --manual
apply_and_wait
echo "== make-release withdraw 3.0, replaced by 2.0: the installation of 3.0 goes back"
"$tools/make-release" withdraw --out "$site" --release 3.0 --replacement 2.0 --tree example/new "${signing[@]}"
"${client[@]}" fetch "${updates[0]}" 3.0 "${updates[@]:1}"
apply_and_wait
echo "== installed release: $(cat "$app/.update-release"); the updater's log says"
grep release "$work/app-updates/update.log"
echo "== update-client check on 2.0"
"${client[@]}" check "${updates[0]}" 2.0 "${updates[@]:1}"
