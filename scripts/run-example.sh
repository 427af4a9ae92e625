#!/usr/bin/env bash
# Builds the updater, makes a package that turns example/installation into
# example/new, applies it to a copy of the installation and shows the result.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
bash scripts/build.sh build

work=out/example
rm -rf "$work"
mkdir -p "$work/update" "$work/staging"
cp -a example/installation "$work/installation"

# The package: the manifest and the files it adds, taken from the new tree.
cp -a example/new/. "$work/staging/"
cp example/update.manifest "$work/staging/update.manifest"
(cd "$work/staging" && find . -type f | sed 's|^\./||' | sort) > "$work/files"
xargs -d '\n' build/tools/zav create "$work/update/update.zav" -C "$work/staging" < "$work/files"
echo "== package"
build/tools/zav list "$work/update/update.zav"

echo "== applying the update to $work/installation"
(cd "$work/installation" && "$top/build/driver/updater" "$top/$work/update" 0)

echo "== update.status"
cat "$work/update/update.status"
echo "== update.log"
cat "$work/update/update.log"
echo "== installation after the update"
(cd "$work/installation" && find . -type f -printf '%m %p\n' | sort)
echo "== bin/app says"
"$work/installation/bin/app"
