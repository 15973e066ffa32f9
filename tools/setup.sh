#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages only.
# Idempotent: every step checks first and skips what is already there.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
third_party="$here/build/third_party"

sudo_cmd=()
if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi

need_update=1
apt_update_once() {
  if [ "$need_update" = 1 ]; then
    "${sudo_cmd[@]}" apt-get update -qq
    need_update=0
  fi
}

# The cross toolchain, Wine and the libraries, by package name.
packages=(
  g++-mingw-w64-i686-posix
  gcc-mingw-w64-i686-posix
  binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix
  gcc-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64
  cmake
  make
  googletest
  libz-mingw-w64-dev
  nlohmann-json3-dev
  dpkg-dev
  wine
  wine32:i386
  # 64-bit programs, in a 64-bit prefix beside the 32-bit one.
  wine64
  # Samba's ntlm_auth, with which Wine's WinInet can answer an NTLM
  # challenge: without it no credentials could leave, with or without the
  # reporter's refusal, and the tests of that refusal could not fail.
  winbind
  # The host side: the module parser's fuzzer and its sanitizer runtimes.
  clang
  libclang-rt-14-dev
  # The local crash server and its tests.
  python3
  python3-werkzeug
  python3-pytest
  # A throwaway authority and certificate for the crash over https.
  openssl
  # Reading crash reports: the symbolizer of module+offset, and a headless
  # browser that looks at the crash server's pages in the tests and the demo.
  llvm-14
  binutils
  chromium
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  need_update=1
  apt_update_once
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_update_once
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# minizip comes as a source package. apt-get source needs a deb-src entry;
# derive one from the machine's own binary sources rather than naming a host.
minizip_dir="$third_party/minizip-src"
if [ ! -f "$minizip_dir/.fetched" ]; then
  if ! apt-get source --print-uris minizip >/dev/null 2>&1 ||
     [ -z "$(apt-get source --print-uris minizip 2>/dev/null | grep "^'")" ]; then
    echo "setup: adding deb-src entries derived from the existing apt sources"
    src_list=/etc/apt/sources.list.d/derived-deb-src.sources
    tmp=$(mktemp)
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -e "$f" ] || continue
      [ "$f" = "$src_list" ] && continue
      # Copy each stanza whose Types include "deb", as a deb-src stanza.
      awk '
        function flush() { if (stanza != "" && keep) printf "%s\n", stanza; stanza = ""; keep = 0 }
        /^[[:space:]]*$/ { flush(); next }
        /^Types:/ {
          n = split($0, t, /[[:space:]]+/); for (i = 2; i <= n; i++) if (t[i] == "deb") keep = 1
          stanza = stanza "Types: deb-src\n"; next
        }
        { stanza = stanza $0 "\n" }
        END { flush() }' "$f" >>"$tmp"
    done
    if [ -f /etc/apt/sources.list ]; then
      grep -E '^deb ' /etc/apt/sources.list | grep -i debian |
        sed -E 's/^deb /deb-src /' >"${tmp}.list" || true
      if [ -s "${tmp}.list" ]; then
        "${sudo_cmd[@]}" cp "${tmp}.list" /etc/apt/sources.list.d/derived-deb-src.list
      fi
      rm -f "${tmp}.list"
    fi
    if [ -s "$tmp" ]; then "${sudo_cmd[@]}" cp "$tmp" "$src_list"; fi
    rm -f "$tmp"
    need_update=1
    apt_update_once
  fi
  echo "setup: fetching minizip's source package"
  rm -rf "$minizip_dir"
  mkdir -p "$minizip_dir"
  (cd "$minizip_dir" && apt-get source -qq --download-only minizip >/dev/null &&
     dpkg-source -x --no-check ./*.dsc unpacked >/dev/null)
  touch "$minizip_dir/.fetched"
fi

echo "setup: done"
