#!/usr/bin/env bash
# The main job, end to end: install what is missing, build, make the sample
# image, create two 4 GiB virtual cards (sparse files) and burn them as
# product cards with live progress. Nothing but the two card files is written.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

scripts/deps.sh
cmake -S . -B build -G Ninja
ninja -C build -j"${VORLANE_JOBS:-2}"

bin="$root/build/bin"
demo="${VORLANE_DEMO_DIR:-$root/demo}"
mkdir -p "$demo/cards" "$demo/home"
# The demo keeps its configuration and logs in its own work directory.
export VORLANE_HOME="$demo/home"
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$demo/home}"

echo "== Making the sample image"
"$bin/vorlane-img" sample -o "$demo/sample.img"
"$bin/vorlane-img" list "$demo/sample.img"

echo "== Creating two 4 GiB virtual cards"
for letter in E F; do
    rm -f "$demo/cards/$letter.card"
    truncate -s 4G "$demo/cards/$letter.card"
done
"$bin/vorlane" --cards-dir "$demo/cards" list

echo "== Burning them as product cards"
status=0
"$bin/vorlane" --cards-dir "$demo/cards" --yes burn --image "$demo/sample.img" --kind product || status=$?

cat <<INFO

The cards are the files
  $demo/cards/E.card
  $demo/cards/F.card
Inspect them, for example:
  sfdisk -l $demo/cards/E.card
  dd if=$demo/cards/E.card bs=512 skip=14 count=1 status=none | hexdump -C | head -3   # the magic block
Write one onto a real card with dd (check the device name first!):
  dd if=$demo/cards/E.card of=/dev/sdX bs=4M conv=fsync status=progress
Restore them to plain exFAT storage cards:
  $bin/vorlane --cards-dir $demo/cards restore
INFO
exit $status
