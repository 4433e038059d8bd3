#!/usr/bin/env bash
# Fails when a C++ file of the project differs from what clang-format makes of it
# (.clang-format at the root). `scripts/check-format.sh --fix` reformats them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests bench fuzz tools -name '*.cpp' -o -name '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
unformatted=()
for file in "${files[@]}"; do
  clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if ((${#unformatted[@]})); then
  echo "check-format: not formatted as .clang-format says (run scripts/check-format.sh --fix):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
