# Shared by the benchmarks: the work directory, the packer, and the 200+ MB benchmark application.
# Source it after setting `top` (the source tree) and `build` (the build tree).

installer_image=$build/sonaris-installer
packer=$build/sonaris-pack

tmpdir=${BENCH_TMPDIR:-/dev/shm}
[ -d "$tmpdir" ] && [ -w "$tmpdir" ] || tmpdir=/tmp
work=$(mktemp -d "$tmpdir/sonaris-bench.XXXXXX")
chmod 0755 "$work"
trap 'rm -rf "$work"' EXIT

pack() { "$packer" --image "$installer_image" "$1" "$2" >/dev/null; }

now() { date +%s%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The launcher of the benchmark applications: the time it started, into $BENCH_MARKER when set.
write_launcher() {
    cat > "$1/sonaris" <<'LAUNCHER'
#!/bin/sh
[ -z "${BENCH_MARKER:-}" ] || date +%s%N > "$BENCH_MARKER"
LAUNCHER
    chmod 0755 "$1/sonaris"
}

# generate_app DIR: 8000 small text files in 40 directories (compressible, not trivially), a 64 MB
# incompressible file and an 85 MB compressible one: 207 MB.
generate_app() {
    local app=$1
    mkdir -p "$app/lib"
    write_launcher "$app"
    generate_text "$app/share" 8 40 8000 160
    head -c $((64 << 20)) /dev/urandom > "$app/lib/codecs.bin"
    seq 1 12000000 > "$app/lib/index.txt"
}

# generate_text DIR SEED DIRS FILES SPAN: FILES text files of 40 to 40+SPAN lines in DIRS
# directories, compressible but not trivially, the same for the same SEED.
generate_text() {
    awk -v root="$1" -v seed="$2" -v dirs="$3" -v files="$4" -v span="$5" 'BEGIN {
        srand(seed);
        for (d = 0; d < dirs; d++) system("mkdir -p " root "/d" d);
        for (i = 0; i < files; i++) {
            f = sprintf("%s/d%d/item%05d.txt", root, i % dirs, i);
            lines = 40 + int(rand() * span);
            for (l = 0; l < lines; l++)
                printf "%08x track %d gain %.4f peak %.6f name %c%c%c%c\n", int(rand() * 4294967295), l,
                       rand(), rand(), 97 + int(rand() * 26), 97 + int(rand() * 26), 97 + int(rand() * 26),
                       97 + int(rand() * 26) > f;
            close(f);
        }
    }'
}

# require NAME FILE...: stops the benchmark NAME when a file it needs has not been built.
require() {
    local name=$1 f
    shift
    for f in "$@"; do
        [ -e "$f" ] || { echo "bench/$name: $f is missing; run make first" >&2; exit 1; }
    done
}

# payload_length INSTALLER: the payload's length, from the trailer "\nN\n" at the file's end.
payload_length() { tail -c 32 "$1" | tail -n 1; }
