#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the Debian package
# from it, then checks what lands where and what the package declares.
# Arguments: build folder, configured install prefix, configured bindir.
# (No pipeline here may end before its input does: pipefail would turn the
# writer's SIGPIPE into a silent exit.)
set -euo pipefail
build=$1 prefix=$2 bindir=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
fail() { echo "FAIL: $*" >&2; exit 1; }
installed=(bin/kov-orvane lib/systemd/user/kov-orvane.service share/man/man1/kov-orvane.1.gz)

cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "cmake --install"; }
for f in "${installed[@]}"; do
    [ -f "$tmp/prefix/$f" ] || fail "cmake --install did not install $f"
done
[ "$("$tmp/prefix/bin/kov-orvane" --version)" = 2026.10.28 ] || fail "installed program does not run"
grep -qx "ExecStart=$bindir/kov-orvane %h/Orvane" "$tmp/prefix/lib/systemd/user/kov-orvane.service" ||
    fail "unit does not start $bindir/kov-orvane"

page=$(MANWIDTH=100 man --warnings -l "$tmp/prefix/share/man/man1/kov-orvane.1.gz" 2>"$tmp/man.err")
[ ! -s "$tmp/man.err" ] || fail "man page warnings: $(cat "$tmp/man.err")"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS SIGNALS ENVIRONMENT FILES "EXIT STATUS"; do
    grep -qx "$section" <<<"$page" || fail "man page lacks section $section"
done
for word in --probe --emit --status --resolve-register --version --config --share --writable \
    SIGHUP SIGTERM XDG_CONFIG_HOME shares.conf kov-orvane.service; do
    grep -qe "$word" <<<"$page" || fail "man page does not mention $word"
done

(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) ||
    { cat "$tmp/cpack.log"; fail "cpack"; }
debs=("$tmp"/pkg/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb"
deb=${debs[0]}
contents=$(dpkg-deb --contents "$deb")
for f in "${installed[@]}"; do
    grep -q " \.$prefix/$f\$" <<<"$contents" || fail "package lacks $prefix/$f"
done
[ "$(dpkg-deb -f "$deb" Package)" = kov-orvane ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Maintainer)" = "Kov Orvane developers" ] || fail "maintainer"
depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
grep -qw fuse3 <<<"$depends" || fail "Depends lacks fuse3: $depends"
# Every shared library a packaged program links must come from a package
# that Depends names (dpkg-shlibdeps finds them).
dpkg-deb -x "$deb" "$tmp/root"
libraries=$(ldconfig -p)
while IFS= read -r elf; do
    for lib in $(objdump -p "$elf" | awk '$1 == "NEEDED" {print $2}'); do
        path=$(awk -v l="$lib" '$1 == l && !found {print $NF; found = 1}' <<<"$libraries")
        owner=$(dpkg -S "$path" 2>/dev/null || dpkg -S "$(readlink -f "$path")" 2>/dev/null) ||
            fail "no package owns $lib, linked by ${elf#"$tmp/root"}"
        owner=${owner%%:*}
        tr ',|' '\n\n' <<<"$depends" | awk '{print $1}' | grep -xF "$owner" >/dev/null || fail "Depends lacks $owner (for $lib): $depends"
    done
done < <(find "$tmp/root" -type f -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print)
grep -q libavcodec <<<"$depends" && fail "libavcodec must be recommended, not required: $depends"
grep -q 'libavcodec59 |' <<<"$recommends" || fail "Recommends lacks libavcodec: $recommends"
echo "install and package: ${#installed[@]} files installed and packaged; Depends: $depends"
