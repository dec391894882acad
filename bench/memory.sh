#!/bin/bash
# What one worker costs in memory on a message with a large attachment: the
# peak of the worker and of its office host for a message with no attachment
# and for attachments of the sizes given (MB, default 50 and 200), side by
# side, and how many bytes each holds per byte of the message. Prints
# figures; judges nothing.
#   bench/memory.sh [build-dir] [attachment MB ...]
set -e
src="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$src/build}"
[ $# -gt 0 ] && shift
[ $# -gt 0 ] || set -- 50 200
cmake --build "$build" --target quillmark-convert quillmark-office -j2 >/dev/null
program="$build/program/quillmark-convert"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

message() { # name, attachment MB
  python3 - "$work/$1.eml" "$2" <<'PY'
import base64, os, sys
path, mb = sys.argv[1], int(sys.argv[2])
with open(path, "wb") as out:
    out.write(b"From: Ann <ann@example.com>\r\nTo: Bob <bob@example.com>\r\nSubject: Memory\r\n"
              b"Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
              b"Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
              b"Content-Type: text/plain\r\n\r\nHere is the file.\r\n")
    if mb:
        out.write(b"--b\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
                  b"Content-Disposition: attachment; filename=\"big.bin\"\r\n"
                  b"Content-Transfer-Encoding: base64\r\n\r\n")
        for _ in range(mb):
            out.write(base64.encodebytes(os.urandom(1 << 20)).replace(b"\n", b"\r\n"))
    out.write(b"--b--\r\n")
PY
}

# Peak resident memory (kB) of the worker and of its office host while the
# message converts: the kernel's own high-water mark of each, read until it exits.
peaks() {
  rm -rf "$work/out"
  setsid "$program" --jobs 1 --attachments --out "$work/out" "$1" >/dev/null 2>&1 &
  local top=$! worker=0 host=0
  while kill -0 "$top" 2>/dev/null; do
    for pid in $(pgrep -s "$top" 2>/dev/null); do
      local args hwm
      args="$( { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null)" || continue
      hwm="$( { awk '/VmHWM/{print $2}' <"/proc/$pid/status"; } 2>/dev/null)" || continue
      [ -n "$hwm" ] || continue
      case "$args" in
        *quillmark-convert*--worker*) [ "$hwm" -gt "$worker" ] && worker=$hwm ;;
        *quillmark-office*) [ "$hwm" -gt "$host" ] && host=$hwm ;;
      esac
    done
    sleep 0.05
  done
  wait "$top" || true
  echo "$worker $host"
}

printf '%-16s %10s %12s %12s %14s\n' attachment "mail MB" "worker MB" "host MB" "per mail byte"
message small 0
read -r base_worker base_host < <(peaks "$work/small.eml")
printf '%-16s %10s %12d %12d %14s\n' none "0" $((base_worker / 1024)) $((base_host / 1024)) "-"
for mb in "$@"; do
  message "big$mb" "$mb"
  size=$(stat -c %s "$work/big$mb.eml")
  read -r worker host < <(peaks "$work/big$mb.eml")
  per=$(awk -v w="$worker" -v h="$host" -v bw="$base_worker" -v bh="$base_host" -v s="$size" \
    'BEGIN { printf "%.2f + %.2f", (w - bw) * 1024 / s, (h - bh) * 1024 / s }')
  printf '%-16s %10d %12d %12d %14s\n' "${mb} MB" $((size >> 20)) $((worker / 1024)) $((host / 1024)) "$per"
  rm -f "$work/big$mb.eml"
done
