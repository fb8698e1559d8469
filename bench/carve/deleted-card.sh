#!/bin/sh
# Exact recall on a card of deleted photos and videos of every carved format:
# a FAT32 image (mkfs.vfat + mtools) filled as a camera fills it, file after
# file into DCIM/, with the corpus's whole files and COUNT photos made by
# ImageMagick (JPEG, PNG, TIFF, GIF, BMP, WebP) and clips made by ffmpeg (MP4,
# MOV, MTS, TS, MKV, WebM, AVI, MP3, WAV, M4A), then every file deleted.
# tamsel-cli scans and recovers it; a file counts when a recovered file has
# exactly its bytes.
# Usage: bench/carve/deleted-card.sh path/to/tamsel-cli [COUNT] [CARD_MIB]
set -eu
CLI=$(realpath "$1")
COUNT=${2:-120}
CARD_MIB=${3:-1024}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT INT TERM
mkdir -p "$W/files"

# Made files: sizes from 0.3 to 8 megapixels, noise over gradients so that
# they compress as photos do.
i=0
while [ "$i" -lt "$COUNT" ]; do
    w=$((640 + (i * 197) % 2800)); h=$((480 + (i * 131) % 1900))
    case $((i % 8)) in
        0|1|2) ext=jpg ;; 3) ext=png ;; 4) ext=tif ;; 5) ext=gif ;; 6) ext=bmp ;; *) ext=webp ;;
    esac
    [ "$ext" = bmp ] || [ "$ext" = tif ] && { w=$((w / 2)); h=$((h / 2)); }
    convert -size "${w}x${h}" "gradient:#$(printf '%06x' $((i * 7919 % 16777216)))-#203040" \
        -attenuate 0.4 +noise Gaussian -quality 90 "$W/files/made_$i.$ext"
    i=$((i + 1))
done
clip="testsrc2=s=640x360:d=3:r=25"
for spec in "mp4:-c:v libx264 -pix_fmt yuv420p" "mov:-c:v libx264 -pix_fmt yuv420p" \
            "mts:-c:v libx264 -pix_fmt yuv420p -mpegts_m2ts_mode 1 -f mpegts" "ts:-c:v mpeg2video -f mpegts" \
            "mkv:-c:v libx264 -pix_fmt yuv420p" "webm:-c:v libvpx -b:v 1M" "avi:-c:v mpeg4"; do
    ext=${spec%%:*}
    # shellcheck disable=SC2086
    ffmpeg -v error -y -f lavfi -i "$clip" ${spec#*:} "$W/files/clip.$ext"
done
ffmpeg -v error -y -f lavfi -i "sine=f=440:d=20" -c:a libmp3lame -b:a 128k "$W/files/tone.mp3"
ffmpeg -v error -y -f lavfi -i "sine=f=440:d=10" "$W/files/tone.wav"
ffmpeg -v error -y -f lavfi -i "sine=f=440:d=10" -c:a aac "$W/files/tone.m4a"
find "$ROOT/tests/data/corpus" -type f ! -name '*.md' ! -name '*.rw2' -exec cp {} "$W/files/" \;

truncate -s "${CARD_MIB}M" "$W/card.img"
mkfs.vfat -F 32 -n CARD "$W/card.img" >/dev/null
MTOOLS_SKIP_CHECK=1 mmd -i "$W/card.img" ::/DCIM
# The order a camera writes in: one after another, in name order.
for f in $(ls "$W/files" | sort); do
    MTOOLS_SKIP_CHECK=1 mcopy -i "$W/card.img" "$W/files/$f" "::/DCIM/$f"
done
MTOOLS_SKIP_CHECK=1 mdel -i "$W/card.img" '::/DCIM/*'
total=$(ls "$W/files" | wc -l)

start=$(date +%s.%N)
"$CLI" scan --no-thumbnails "$W/card.img" "$W/session" >/dev/null 2>&1
scanned=$(date +%s.%N)
"$CLI" recover "$W/session" "$W/card.img" "$W/out" >/dev/null 2>&1
done=$(date +%s.%N)

(cd "$W/files" && sha256sum -- * | sort) > "$W/want"
find "$W/out" -type f ! -name '*.csv' ! -name '*.txt' -exec sha256sum {} + | cut -d' ' -f1 | sort -u > "$W/got"
missing=$(cut -d' ' -f1 "$W/want" | sort -u | comm -23 - "$W/got" | wc -l)
unique=$(cut -d' ' -f1 "$W/want" | sort -u | wc -l)
found=$(find "$W/out" -type f ! -name '*.csv' ! -name '*.txt' | wc -l)
echo "files on the card: $total ($unique distinct), recovered files: $found"
echo "exact recall: $((unique - missing)) / $unique"
[ "$missing" -eq 0 ] || { echo "not recovered exactly:"; cut -d' ' -f1 "$W/want" | sort -u | comm -23 - "$W/got" | while read -r h; do grep "^$h" "$W/want" | sed 's/^[0-9a-f]* *//'; done; }
awk -v a="$start" -v b="$scanned" -v c="$done" 'BEGIN { printf "scan: %.2f s, recover: %.2f s\n", b - a, c - b }'
