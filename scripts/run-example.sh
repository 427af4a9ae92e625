#!/usr/bin/env bash
# Builds the updater, makes the package that turns example/installation
# into example/new with make-update, applies it to a copy of the
# installation and shows the result.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
bash scripts/build.sh build

work=out/example
rm -rf "$work"
mkdir -p "$work"
cp -a example/installation "$work/installation"

# The package, made by comparing the two trees.
build/tools/make-update example/installation example/new "$work/update"
echo "== package"
build/tools/zav list "$work/update/update.zav"
echo "== update.manifest"
build/tools/zav extract "$work/update/update.zav" update.manifest /dev/stdout

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
