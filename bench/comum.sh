# What the bench scripts share, sourced by each: the arguments, the checks of
# their tools, the private IPC namespace, the Release build, the temporary
# directory, and the timing and reporting helpers. Sourced with the script's
# arguments, [--records N] [--runs R], and `registos` set to its default N.
vezes=7
argumentos=("$@")
while [ $# -gt 0 ]; do
    case $1 in
        --records) registos=$2; shift 2 ;;
        --runs) vezes=$2; shift 2 ;;
        *) echo "usage: $0 [--records N] [--runs R]" >&2; exit 2 ;;
    esac
done
case $registos$vezes in *[!0-9]*) echo "bench: N and R are whole numbers" >&2; exit 2 ;; esac
[ "$registos" -gt 0 ] && [ "$vezes" -gt 0 ] || { echo "bench: N and R must be positive" >&2; exit 2; }
bytes=$((registos * 28))
[ -x /usr/bin/time ] || { echo "bench: needs GNU time in /usr/bin/time" >&2; exit 1; }
command -v bc >/dev/null || { echo "bench: needs bc" >&2; exit 1; }

# The programs use the machine-wide semaphore keys 2345 and 4567: where it is
# allowed, measure inside a private IPC namespace so as not to touch the real
# sets (as root directly, otherwise inside a user namespace of one's own); as
# root, in a mount namespace of its own too, so that the file systems a
# script mounts go with it.
if [ -z "${BENCH_IPC_PRIVADO:-}" ]; then
    if unshare --ipc --mount --propagation private true 2>/dev/null; then
        BENCH_IPC_PRIVADO=1 exec unshare --ipc --mount --propagation private "$0" "${argumentos[@]}"
    elif unshare --user --map-current-user --ipc true 2>/dev/null; then
        BENCH_IPC_PRIVADO=1 exec unshare --user --map-current-user --ipc "$0" "${argumentos[@]}"
    fi
    echo "note: no private IPC namespace; the machine's semaphore sets 2345 and 4567 are used" >&2
fi

raiz=$PWD
build=$raiz/build-bench-$registos
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DWERROR="${WERROR:-OFF}" -DPOVOA_REGISTOS="$registos" >/dev/null
cmake --build "$build" -j2 >/dev/null
for ajuda in ingenuo chao; do
    g++ -std=c++20 -O2 -Wall -Wextra -I"$raiz" -o "$build/$ajuda" "bench/$ajuda.cpp"
done
peca=$("$build/chao" --peca)  # the piece povoa writes and the reader maps, defined beside the record
tmp=$(mktemp -d /tmp/farmacia-bench-XXXXXX)
trap 'rm -rf "$tmp"' EXIT

# mede NOME comando...: runs the command once in the current directory and
# appends to $tmp/NOME its wall time, taken around it, and its user CPU, as
# bash's timer gives it (to the millisecond), in seconds.
mede() {
    local nome=$1; shift
    local TIMEFORMAT='%3U' inicio fim
    inicio=$EPOCHREALTIME
    { time "$@" >/dev/null 2>"$tmp/erros"; } 2>"$tmp/tempo" ||
        { cat "$tmp/erros" >&2; echo "bench: $* failed" >&2; exit 1; }
    fim=$EPOCHREALTIME
    echo "$(echo "$fim - $inicio" | bc -l) $(cat "$tmp/tempo")" >> "$tmp/$nome"
}
# memoria comando...: the peak resident memory of one run, in MiB.
memoria() {
    /usr/bin/time -o "$tmp/memoria" -f %M "$@" >/dev/null 2>&1
    echo "scale=1; $(cat "$tmp/memoria") / 1024" | bc -l | sed 's/^\./0./'
}
# coluna NOME COLUNA QUAL: min, median or max of that column of NOME's runs.
coluna() {
    sort -g -k"$2","$2" "$tmp/$1" | awk -v c="$2" -v q="$3" '{ v[NR] = $c }
        END { print q == "min" ? v[1] : q == "max" ? v[NR] : v[int((NR + 1) / 2)] }'
}
razao() { echo "scale=2; $1 / $2" | bc -l | sed 's/^\./0./'; }
ms() { echo "scale=2; $1 * 1000 / 1" | bc -l | sed 's/^\./0./'; }
maquina() {
    echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB, Linux $(uname -r); file in $(df --output=fstype "$tmp" | tail -1) page cache"
}
