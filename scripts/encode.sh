#!/bin/sh
# Compresses a recording into the message that is mailed:
#   encode.sh IN.wav OUT.mp2
# MPEG audio layer II, mono, 48 kbit/s. The output appears complete or not at all, readable by
# its owner only. Exits non-zero on any failure.
set -u
umask 077

if [ "$#" -ne 2 ]; then
    echo "usage: encode.sh IN.wav OUT.mp2" >&2
    exit 2
fi
in=$1
out=$2
# A name starting with "-" must not be taken for an option.
case $in in -*) in=./$in ;; esac
case $out in -*) out=./$out ;; esac
case $out in
*/*) folder=${out%/*} ;;
*) folder=. ;;
esac
[ -n "$folder" ] || folder=/

if [ ! -f "$in" ] || [ ! -r "$in" ]; then
    echo "encode.sh: cannot read the recording $in" >&2
    exit 3
fi
if [ ! -d "$folder" ]; then
    echo "encode.sh: no folder for the message $out" >&2
    exit 4
fi

partial=$(mktemp "$folder/.encoding.XXXXXX") || exit 5
trap 'rm -f -- "$partial"' EXIT
trap 'exit 130' HUP INT TERM

if ! twolame --quiet -m m -b 48 -- "$in" "$partial"; then
    echo "encode.sh: twolame could not encode $in" >&2
    exit 6
fi
if [ ! -s "$partial" ]; then
    echo "encode.sh: the recording holds no sound to encode" >&2
    exit 7
fi
mv -f -- "$partial" "$out" || exit 8
trap - EXIT
exit 0
