#!/usr/bin/env bash
# Serves a folder of published updates the way clients ask for them: lighttpd on
# port 80 of the session host's address, the version file as text/plain.
#
#   tools/update/update-host.sh <web folder> [address, default 127.0.0.1]
#
# Runs in the foreground until stopped (Ctrl+C). Port 80 needs root.
set -euo pipefail
folder=$(realpath "${1:?web folder}")
address=${2:-127.0.0.1}
command -v lighttpd >/dev/null || { echo "lighttpd is missing: bash scripts/install-deps.sh" >&2; exit 1; }
configuration=$(mktemp)
trap 'rm -f "$configuration"' EXIT
cat > "$configuration" <<CONF
server.document-root = "$folder"
server.bind = "$address"
server.port = 80
server.stat-cache-engine = "disable"
mimetype.assign = (".version" => "text/plain", "" => "application/octet-stream")
CONF
echo "update host: http://$address/ serves $folder"
lighttpd -D -f "$configuration"
