#!/usr/bin/env bash
# Lists a kernel image's imports and fails when one comes from anything but ntoskrnl.exe or hal.dll.
set -euo pipefail
image="$1"
dlls=$(i686-w64-mingw32-objdump -p "$image" | awk '/DLL Name:/ {print $3}')
echo "imports of $(basename "$image"): $(echo $dlls)"
bad=$(echo "$dlls" | grep -viE '^(ntoskrnl\.exe|hal\.dll)$' || true)
if [ -n "$bad" ]; then
  echo "not a kernel import: $bad" >&2
  exit 1
fi
i686-w64-mingw32-objdump -p "$image" | awk -F'[ \t]+' '/DLL Name:/ {dll=$4; next} dll && NF >= 4 && $2 ~ /^[0-9a-f]+$/ {print "  " dll ": " $4} /^$/ {dll=""}'
