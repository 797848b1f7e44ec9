#!/usr/bin/env bash
# check_layers.sh - fails on an include that goes up a layer. A daemon file
# may include its own folder and the folders below it; client/ stands apart.
set -euo pipefail
cd "$(dirname "$0")/.."

grep -rHn '^#include "' platform support files store conffiles events core client \
  --include='*.h' --include='*.c' --include='*.cc' |
  awk -F: '
    BEGIN {
      # Lowest first.
      n = split("platform support files store conffiles events core", layer, " ")
      for (i = 1; i <= n; i++) rank[layer[i]] = i
    }
    {
      file = $1
      header = $3
      sub(/^#include "/, "", header)
      sub(/".*/, "", header)
      from = file; sub(/\/.*/, "", from)
      to = header; sub(/\/.*/, "", to)
      # The wire format (frame layout, command codes, default port) is
      # shared by the client and every layer of the daemon.
      if (header == "client/cms_client.h") next
      # Tests and fuzz targets beside their unit share the test library.
      if (file ~ /_(test|fuzz)\.cc$/ && to == "testing") next
      if (from == "client") {
        # The event-name table is header-only: cms monitor prints its names.
        if (to == "client" || header == "platform/event_ids.h") next
      } else {
        if ((to in rank) && rank[to] <= rank[from]) next
      }
      printf "%s:%s: includes %s, above or outside its layer\n", file, $2, header
      bad = 1
    }
    END { exit bad }'
