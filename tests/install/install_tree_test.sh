#!/usr/bin/env bash
# Installs the build into a staging folder and checks what a user and a caller get:
# every expected file, exactly the public headers and each compiling on its own, valid
# desktop files, manual pages that cover every command, and the example program built
# against the staged package (find_package and pkg-config) and run.
# Usage: install_tree_test.sh BUILD_DIR SOURCE_DIR LIBDIR VERSION SOVERSION
set -euo pipefail
build=$1 source=$2 libdir=$3 version=$4 soversion=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
failed=0
fail() { echo "FAIL: $*"; failed=1; }

cmake --install "$build" --prefix "$stage" >"$work/install.log"

list=$(grep -v '^#' "$source/tests/install/expected_files.txt" |
  sed -e "s|@LIBDIR@|$libdir|" -e "s|@VERSION@|$version|" -e "s|@SOVERSION@|$soversion|")
for f in $list; do
  [ -e "$stage/$f" ] || fail "not installed: $f"
done
if ! diff <(grep '^include/' <<<"$list" | sort) <(cd "$stage" && find include -type f | sort) >"$work/headers.diff"; then
  fail "the installed headers differ from the list (< missing, > not listed):"
  cat "$work/headers.diff"
fi

# A public header that includes an internal one, or leans on an include before it, fails.
for h in $(cd "$stage/include" && find okuva -name '*.h' | sort); do
  echo "#include <$h>" | g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror \
    -I"$stage/include" -I"$stage/include/okuva" -x c++ - 2>"$work/header.log" ||
    { fail "$h does not compile on its own"; cat "$work/header.log"; }
done

desktop-file-validate "$stage/share/applications/org.okuva.Okuva.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$stage/share/metainfo/org.okuva.Okuva.metainfo.xml" >"$work/appstream.log" ||
  { fail "AppStream metainfo"; cat "$work/appstream.log"; }
grep -q '^Icon=okuva$' "$stage/share/applications/org.okuva.Okuva.desktop" || fail "the entry's icon"
file "$stage/share/icons/hicolor/48x48/apps/okuva.png" | grep -q '48 x 48' || fail "48x48 icon"

# The manual shows every command the tool lists, with its options.
tool="$stage/bin/okuva-tool"
page=$(MANWIDTH=100 man -P cat -l "$stage/share/man/man1/okuva-tool.1.gz" 2>/dev/null | tr -s " ")
for command in $("$tool" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z0-9_-]*\).*/\1/p'); do
  grep -q "usage: okuva-tool $command" <<<"$page" || fail "okuva-tool(1) lacks $command"
done
grep -q -- '--version' <<<"$page" || fail "okuva-tool(1) lacks --version"
MANWIDTH=100 man -P cat -l "$stage/share/man/man1/okuva.1.gz" 2>/dev/null | grep -q 'OKUVA_CAMERA' ||
  fail "okuva(1) lacks OKUVA_CAMERA"
bash -n "$stage/share/bash-completion/completions/okuva-tool" || fail "bash completion"

# The example against the staged package, as a caller outside this tree builds it.
if cmake -S "$source/examples/iris_check" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$stage" \
     >"$work/example.log" 2>&1 && cmake --build "$work/example" >>"$work/example.log" 2>&1; then
  LD_LIBRARY_PATH="$stage/$libdir" "$work/example/iris_check" "$work/eye.jpg" >"$work/run.log" 2>&1 ||
    { fail "the example (find_package) did not find the eye"; cat "$work/run.log"; }
  grep -q "okuva toolkit $version" "$work/run.log" || fail "the example's library version"
else
  fail "the example does not build against the staged package"; cat "$work/example.log"
fi
export PKG_CONFIG_PATH="$stage/$libdir/pkgconfig"
# shellcheck disable=SC2046
if g++ -std=c++20 "$source/examples/iris_check/iris_check.cpp" -o "$work/iris_check_pc" \
     $(pkg-config --cflags --libs okuva) 2>"$work/pc.log"; then
  LD_LIBRARY_PATH="$stage/$libdir" "$work/iris_check_pc" "$work/eye2.jpg" >/dev/null ||
    fail "the example (pkg-config) did not find the eye"
else
  fail "the example does not build with pkg-config"; cat "$work/pc.log"
fi

[ "$failed" -eq 0 ] && echo "install tree, headers, desktop files, manual pages and example: ok"
exit "$failed"
