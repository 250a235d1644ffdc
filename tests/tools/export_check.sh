#!/usr/bin/env bash
# Checks the dynamic symbol table of libkxlib: only C names with the library's
# prefixes, no C++ (mangled) names, and nothing that would replace a libc function.
set -u
lib=$1
syms=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort -u)
[ -n "$syms" ] || { echo "no exported symbols in $lib"; exit 1; }
allowed='^(kx_|zr7ee_|globalInit|globalRelease|globalParameter|defaultRunStatus$|__get_printfTime$|exception|monitor|rtspClient|video_|image_|frameConvert|playerLib|socketPool|rtspServer|rtspFileStream|audio_|configManager)'
bad=0
while read -r s; do
  case "$s" in
    _Z*) echo "C++ symbol exported: $s"; bad=1; continue ;;
    epoll_*) echo "libc name exported: $s"; bad=1; continue ;;
  esac
  if ! [[ $s =~ $allowed ]]; then echo "unexpected export: $s"; bad=1; fi
done <<<"$syms"
# No libc function may be defined by the library.
for f in epoll_create epoll_create1 epoll_ctl epoll_wait malloc free printf strlen socketpair; do
  if grep -qx "$f" <<<"$syms"; then echo "shadows libc: $f"; bad=1; fi
done
n=$(wc -l <<<"$syms")
[ $bad -eq 0 ] && echo "export check: $n symbols, all allowed"
exit $bad
