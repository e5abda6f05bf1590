#!/usr/bin/env bash
# Checks the include graph against the layers of docs/architecture.md: every include of a project
# header, public (<kilnware/...>) or private ("platform/...", "Kilnware/..."), must point to a layer
# that the including file's layer may use; the command, a host, uses public headers only. Prints
# each arrow that breaks the rule and fails when there is one.
set -euo pipefail
cd "${1:-$(dirname "$0")/../..}"

git ls-files 'include/*.h' 'Kilnware/*' 'platform/*' 'tools/*' | grep -E '\.(h|cpp)$' |
  xargs awk '
    # The layer of a project path: its folder, the same for sources and public headers.
    function layer(path) {
      sub(/^include\//, "", path)
      if (path ~ /^kilnware\/Kilnware\.h$/) return "umbrella"
      if (path ~ /^kilnware\/Export\.h$/) return ""  # the export macro belongs to no layer
      if (path ~ /^(kilnware\/)?platform\/foundation\//) return "foundation"
      if (path ~ /^(kilnware\/)?platform\/discrecording\//) return "faces"
      if (path ~ /^(kilnware\/)?platform\/panels\//) return "panels"
      if (path ~ /^platform\/media\//) return "media"
      if (path ~ /^(kilnware\/)?platform\/engines\//) return "engines"
      if (path ~ /^(Kilnware\/|kilnware\/[A-Za-z]+\.h$)/) return "library"
      if (path ~ /^tools\/(kilnware|desktop|hosts)\//) return "command"
      if (path ~ /^tools\/standins\//) return "standins"
      return ""
    }
    BEGIN {
      # What each layer may include besides itself. The hosts (the command, the desktop program
      # and what they share) are one layer: public headers only.
      may["faces"] = " foundation "
      may["panels"] = " foundation faces "
      may["media"] = " foundation faces "
      may["engines"] = " foundation faces media "
      may["library"] = " foundation faces panels "
      may["command"] = " foundation faces panels engines library umbrella "
      may["standins"] = " foundation "
      may["umbrella"] = " foundation faces panels engines library "
    }
    /^[ \t]*#[ \t]*include[ \t]*[<"]/ {
      from = layer(FILENAME)
      if (from == "") next
      target = $0
      sub(/^[^<"]*[<"]/, "", target)
      sub(/[>"].*$/, "", target)
      to = layer(target)
      if (to == "") next
      if (from == "command" && target !~ /^kilnware\//) {
        print FILENAME ": a host includes only public headers, not " target
        broken = 1
      } else if (to != from && index(may[from], " " to " ") == 0) {
        print FILENAME ": " from " includes " to " (" target ")"
        broken = 1
      }
    }
    END {
      if (!broken) print "layers: every include points down"
      exit broken
    }'
