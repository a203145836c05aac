# What the scripts that build elsewhere or set a machine up share, sourced by
# tests/arquiteturas, tests/mesmos-bytes, tests/distribuicoes, .ci/run and
# .ci/pacote: installing missing Debian packages, and the cross builds.

# instala PACOTE...: installs those of the Debian packages PACOTE (NAME, or
# NAME=VERSION) that are not installed, which needs root. A package list that fails to download (a
# mirror being updated) leaves the others usable, so apt-get update's status
# is not the verdict: apt-get install's is.
instala() {
    local falta=() p
    for p in "$@"; do
        dpkg-query -W -f '${Status}' "${p%%=*}" 2>/dev/null | grep -q 'install ok installed' || falta+=("$p")
    done
    [ ${#falta[@]} -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] || { echo "$0: missing ${falta[*]}: install them, or run this as root" >&2; return 1; }
    echo "installing: ${falta[*]}" >&2
    apt-get update -qq || echo "$0: some package lists could not be read; going on with the rest" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${falta[@]}" >/dev/null
}

# The Debian architectures built for elsewhere: GNU triplet and the
# processor CMake names.
declare -A tripleto=([arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf [i386]=i686-linux-gnu
                     [s390x]=s390x-linux-gnu)
declare -A processador=([arm64]=aarch64 [armhf]=arm [i386]=i686 [s390x]=s390x)

# cruzado ARCH: the cmake arguments of a build for ARCH.
cruzado() {
    echo -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="${processador[$1]}" \
        -DCMAKE_CXX_COMPILER="${tripleto[$1]}-g++"
}

# constroi BUILD_DIR CMAKE_ARGUMENT...: configures and builds quietly, showing
# the compiler's output only when the build fails.
constroi() {
    local build=$1 registo; shift
    registo=$(mktemp)
    cmake -S . -B "$build" --log-level=WARNING -DWERROR="${WERROR:-OFF}" "$@" >/dev/null &&
        cmake --build "$build" -j2 >"$registo" 2>&1 || { cat "$registo" >&2; rm -f "$registo"; return 1; }
    rm -f "$registo"
}
