#!/usr/bin/env bash
# The installed tree and the desktop's metadata: what the Debian package carries must validate,
# and every option the program's --help names must be in its man page and its completion.
# usage: check.sh BUILD_DIR PROGRAM
set -euo pipefail
build=$1 program=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail=0
complain() { echo "FAIL: $*" >&2; fail=1; }

DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
root=$stage/usr
for f in bin/kirimark share/applications/kirimark.desktop share/metainfo/io.github.kirimark.Kirimark.metainfo.xml \
    share/icons/hicolor/scalable/apps/kirimark.svg share/man/man1/kirimark.1 \
    share/bash-completion/completions/kirimark share/doc/kirimark/copyright; do
    [ -e "$root/$f" ] || complain "not installed: /usr/$f"
done
# The window lives in a module the program loads from its library folder.
[ -n "$(find "$root" -name libkirimark-window.so)" ] || complain "not installed: the window module"
[ -n "$(find "$root" -name libkirimark-photo.so)" ] || complain "not installed: the photo module"

desktop-file-validate "$root/share/applications/kirimark.desktop" || complain "desktop entry"
appstreamcli validate --no-net "$root/share/metainfo/io.github.kirimark.Kirimark.metainfo.xml" >/dev/null ||
    complain "metainfo (run appstreamcli validate --no-net on it)"
grep -q "Independent JPEG Group" "$root/share/doc/kirimark/copyright" || complain "copyright lacks the IJG notice"

man_page=$(cat "$root/share/man/man1/kirimark.1")
completion=$(cat "$root/share/bash-completion/completions/kirimark")
options=$(QT_QPA_PLATFORM=offscreen "$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || complain "--help names no option"
for o in $options; do
    grep -qF -- "${o//-/\\-}" <<<"$man_page" || complain "man page lacks $o"
    grep -qw -- "$o" <<<"$completion" || complain "bash completion lacks $o"
done
# The completion must at least load and complete the commands in a plain bash.
words=$(bash -c 'source "$1"; COMP_WORDS=(kirimark --st); COMP_CWORD=1; _kirimark; echo "${COMPREPLY[*]}"' _ \
    "$root/share/bash-completion/completions/kirimark")
[ "$words" = "--stamp" ] || complain "completion of --st gave '$words'"
exit $fail
