#!/usr/bin/env bash
# Fails when an include runs against the one-way dependencies of the source
# tree: app -> protocol -> net, protocol -> library; library and net know
# nothing above them; the window-less core knows nothing of its front ends
# (the window, app/ui, and the operator's page, app/web), and those two know
# nothing of each other. Only main() (src/main.cpp) wires them all.
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
    target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$hit")
    # A front end is its own target: app/ui or app/web.
    [[ $hit =~ \#include\ \"app/(ui|web)/ ]] && target="app/${BASH_REMATCH[1]}"
    ok=0
    for m in "${may[@]}"; do [[ $target == "$m" ]] && ok=1; done
    # Each front end may include itself.
    [[ $file == src/app/ui/* && $target == app/ui ]] && ok=1
    [[ $file == src/app/web/* && $target == app/web ]] && ok=1
    if [[ $ok -eq 0 ]]; then
      echo "upward include: $hit"
      status=1
    fi
  done < <(grep -rnE '#include "[a-z]+/' "$folder" --include='*.h' --include='*.cpp' || true)
done
[[ $status -eq 0 ]] && echo "includes run one way"
exit $status
