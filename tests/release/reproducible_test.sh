#!/usr/bin/env bash
# Builds the release a second time, from the same sources in another folder
# (another path, another length), and checks that both archives and
# SHA256SUMS come out byte for byte as in out/, which scripts/release.sh made
# in this tree. Prints both sets of checksums.
set -uo pipefail
cd "$(dirname "$0")/../.."
[ -s out/SHA256SUMS ] || { echo "reproducible: run scripts/release.sh first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy=$work/elsewhere/a-longer-folder-name-than-the-first/tavrik
mkdir -p "$copy"
# The files of this commit, as they are in the tree (no .git: the time comes from here).
git ls-files -z | tar --null -T - -cf - | tar -C "$copy" -xf -
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
if ! (cd "$copy" && bash scripts/release.sh) >"$work/release.log" 2>&1; then
  tail -n 30 "$work/release.log"; echo "FAILED: the second build"; exit 1
fi
echo "first build,  in $PWD:"; sed 's/^/  /' out/SHA256SUMS
echo "second build, in $copy:"; sed 's/^/  /' "$copy/out/SHA256SUMS"
failed=0
for file in $(cut -d' ' -f3 out/SHA256SUMS) SHA256SUMS; do
  if cmp "out/$file" "$copy/out/$file"; then echo "ok: $file is the same"; else echo "FAILED: $file differs"; failed=1; fi
done
[ "$failed" = 0 ] || echo "(was out/ made from this very commit? scripts/release.sh, then this test)"
[ "$failed" = 0 ]
