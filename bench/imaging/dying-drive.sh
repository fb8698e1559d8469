#!/bin/sh
# Images a dying drive with tamsel-cli and with GNU ddrescue -d (Debian's
# gddrescue) and prints, for each: reads of each bad sector (median and
# maximum), time to 99 % of the good data, total time and good bytes lost.
# The drive: SIZE_MIB of random data with RANGES bad ranges of 4-64 KiB at
# 512-byte alignment, served by an nbdkit sh plugin that sleeps DELAY seconds
# on every failing read, through nbdfuse and `losetup --direct-io=on`.
# Needs root, /dev/fuse, nbdkit, nbdfuse, ddrescue and python3.
# Usage: bench/imaging/dying-drive.sh path/to/tamsel-cli [SIZE_MIB] [RANGES] [DELAY]
# ONLY=tamsel (or ONLY=ddrescue) runs one side; RUNS=n runs each side n times.
set -eu
CLI=$(realpath "$1")
SIZE_MIB=${2:-256}
RANGES=${3:-50}
DELAY=${4:-0.05}
W=$(mktemp -d)
LOOP=""
cleanup() {
    # KEEP=dir keeps the read logs and the bad ranges for a closer look.
    [ -n "${KEEP:-}" ] && mkdir -p "$KEEP" && cp "$W"/*.log "$W/bad" "$KEEP"/ 2>/dev/null || true
    [ -n "$LOOP" ] && losetup -d "$LOOP" 2>/dev/null || true
    fusermount3 -u "$W/mnt" 2>/dev/null || true
    rm -rf "$W"
}
trap cleanup EXIT INT TERM

head -c $((SIZE_MIB * 1048576)) /dev/urandom > "$W/medium.img"
python3 - "$SIZE_MIB" "$RANGES" > "$W/bad" <<'PY'
import random, sys
random.seed(13)
size = int(sys.argv[1]) << 20
ranges = []
while len(ranges) < int(sys.argv[2]):
    length = random.randrange(8, 129) * 512
    off = random.randrange(1, (size - length) // 512) * 512
    if all(off + length + 4096 < o or o + l + 4096 < off for o, l in ranges):
        ranges.append((off, length))
for o, l in sorted(ranges):
    print(o, l)
PY
RANGESPEC=$(awk '{printf "%d:%d ", $1, $1 + $2}' "$W/bad")
mkdir "$W/mnt"
cat > "$W/plugin.sh" <<SH
#!/bin/sh
case "\$1" in
  get_size) stat -c %s "$W/medium.img" ;;
  can_write) exit 3 ;;
  thread_model) echo parallel ;;
  pread)
    off=\$4; end=\$((\$4 + \$3))
    for r in $RANGESPEC; do s=\${r%:*}; e=\${r#*:}
      if [ "\$off" -lt "\$e" ] && [ "\$end" -gt "\$s" ]; then
        sleep $DELAY; echo "\$(date +%s.%N) \$off \$3 fail" >> "$W/reads.log"; echo EIO >&2; exit 1; fi
    done
    dd if="$W/medium.img" iflag=skip_bytes,count_bytes skip="\$off" count="\$3" status=none
    echo "\$(date +%s.%N) \$off \$3 ok" >> "$W/reads.log" ;;
  *) exit 2 ;;
esac
SH
chmod +x "$W/plugin.sh"
nbdfuse -r "$W/mnt" --command nbdkit -s sh "$W/plugin.sh" 2>/dev/null &
while [ ! -e "$W/mnt/nbd" ]; do sleep 0.1; done
LOOP=$(losetup -r -f --show --direct-io=on "$W/mnt/nbd")
run() {  # name, command...
    name=$1; shift
    : > "$W/reads.log"
    start=$(date +%s.%N)
    "$@" > /dev/null 2>&1 || true
    end=$(date +%s.%N)
    cp "$W/reads.log" "$W/$name.log"
    echo "$name $start $end" >> "$W/runs"
}
i=1
while [ "$i" -le "${RUNS:-1}" ]; do
    if [ "${ONLY:-tamsel}" = tamsel ] || [ -z "${ONLY:-}" ]; then
        rm -rf "$W/t$i"; mkdir "$W/t$i"
        run "tamsel$i" "$CLI" image "$LOOP" "$W/t$i"
    fi
    if [ "${ONLY:-ddrescue}" = ddrescue ] || [ -z "${ONLY:-}" ]; then
        rm -rf "$W/d$i"; mkdir "$W/d$i"
        run "ddrescue$i" ddrescue -d -q "$LOOP" "$W/d$i/rescue.img" "$W/d$i/rescue.map"
    fi
    i=$((i + 1))
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$W" <<'PY'
import sys, statistics, glob
w = sys.argv[1]
bad = [tuple(map(int, l.split())) for l in open(w + "/bad")]
medium = open(w + "/medium.img", "rb").read()
size = len(medium)
badsectors = sorted(s for o, l in bad for s in range(o, o + l, 512))
badset = set(badsectors)
goodtotal = size - len(badsectors) * 512
print("| | reads of each bad sector (median / max) | time to 99 % of good data | total time | good bytes lost |")
print("|---|---|---|---|---|")
for line in open(w + "/runs"):
    name, start, end = line.split()
    n = name.rstrip("0123456789")
    image = glob.glob(w + "/" + ("t" if n == "tamsel" else "d") + name[len(n):] + "/*.img")[0]
    start, end = float(start), float(end)
    counts = dict.fromkeys(badsectors, 0)
    got = bytearray(size // 512 + 1)
    have = 0
    t99 = None
    for l in open(w + "/" + name + ".log"):
        t, off, n, res = l.split()
        off, n = int(off), int(n)
        for s in range(off // 512 * 512, off + n, 512):
            if s in counts:
                counts[s] += 1
        if res == "ok":
            for s in range(off // 512, (off + n + 511) // 512):
                if not got[s] and s * 512 not in badset:
                    got[s] = 1
                    have += 512
            if t99 is None and have >= 0.99 * goodtotal:
                t99 = float(t) - start
    img = open(image, "rb").read()
    lost = 0
    for s in range(0, size, 512):
        if s not in badset and img[s:s + 512] != medium[s:s + 512]:
            lost += 512
    c = list(counts.values())
    print(f"| {name} | {statistics.median(c):g} / {max(c)} | {t99 if t99 is None else round(t99, 1)} s | {end - start:.1f} s | {lost:,} |")
PY
