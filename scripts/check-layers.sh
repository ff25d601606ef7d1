#!/usr/bin/env bash
# Fails when an include runs against the one-way dependencies of the source
# tree: app -> protocol -> net, protocol -> library; library and net know
# nothing above them, and the window-less core knows nothing of the window.
set -euo pipefail
cd "$(dirname "$0")/.."

# folder: the project folders its files may include from
allowed=(
  "src/library:library"
  "src/net:net"
  "src/protocol:protocol net library"
  "src/app:app protocol net library"
)

status=0
for entry in "${allowed[@]}"; do
  folder=${entry%%:*}
  read -r -a may <<<"${entry#*:}"
  while IFS= read -r hit; do
    file=${hit%%:*}
    # The window (app/ui) may include everything; the rest of app may not include it.
    [[ $folder == src/app && $file == src/app/ui/* ]] && continue
    target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$hit")
    [[ $hit =~ \#include\ \"app/ui/ ]] && target="app/ui"
    ok=0
    for m in "${may[@]}"; do [[ $target == "$m" ]] && ok=1; done
    if [[ $ok -eq 0 ]]; then
      echo "upward include: $hit"
      status=1
    fi
  done < <(grep -rnE '#include "[a-z]+/' "$folder" --include='*.h' --include='*.cpp' || true)
done
[[ $status -eq 0 ]] && echo "includes run one way"
exit $status
