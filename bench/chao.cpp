// The floors of a search: what it costs to touch what a search must touch,
// over a copy of BD.bin in anonymous memory (huge pages where the kernel
// gives them), with no file and no mapping of one to pay for, two ways:
// - the reader's own candidate loop (common/candidato.h) over every
//   record, for a name that no record has, as in the benchmark's searches;
// - a plain read of every cache line, the memory's bandwidth.
//   chao <file> <runs>    the fastest run of each, in seconds: "LOOP LINES"
//   chao --peca           the piece that povoa writes and the reader maps, in bytes
#include "common/candidato.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// The fastest of `vezes` runs of `f`, in seconds.
template <typename F>
static double melhor_de(int vezes, F f)
{
    double melhor = 1e9;
    for (int vez = 0; vez < vezes; ++vez) {
        const auto inicio = std::chrono::steady_clock::now();
        f();
        melhor = std::min(melhor, std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count());
    }
    return melhor;
}

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--peca") == 0) {
        std::printf("%lld\n", static_cast<long long>(bytes_por_peca));
        return 0;
    }
    if (argc != 3)
        return 2;
    const int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (fd == -1 || fstat(fd, &st) == -1) {
        perror(argv[1]);
        return 1;
    }
    const size_t bytes = static_cast<size_t>(st.st_size), peca = bytes_por_peca;
    auto *base = static_cast<char *>(mmap(nullptr, bytes + peca, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base == MAP_FAILED)
        return 1;
    char *dados = reinterpret_cast<char *>((reinterpret_cast<uintptr_t>(base) + peca - 1) & ~(peca - 1));
    madvise(dados, bytes, MADV_HUGEPAGE);
    for (size_t lidos = 0; lidos < bytes;) {
        const ssize_t r = pread(fd, dados + lidos, bytes - lidos, static_cast<off_t>(lidos));
        if (r <= 0)
            return 1;
        lidos += static_cast<size_t>(r);
    }
    const auto *registos = reinterpret_cast<const medicamento *>(dados);
    const size_t n = bytes / sizeof(medicamento);
    const filtro_do_nome filtro = filtro_de("zzzzzzzzzzzz");
    size_t achados = 0;
    const double ciclo = melhor_de(std::atoi(argv[2]), [&] {
        for (size_t i = candidato(registos, 0, n, filtro); i < n; i = candidato(registos, i + 1, n, filtro))
            ++achados;
    });
    uint64_t soma = 0;
    const double linhas = melhor_de(std::atoi(argv[2]), [&] {
        for (size_t i = 0; i + sizeof(uint64_t) <= bytes; i += 64) {
            uint64_t v;
            std::memcpy(&v, dados + i, sizeof v);
            soma += v;
        }
    });
    __asm__ volatile("" : : "r"(soma));  // used, so that the loop is not left out
    std::printf("%.6f %.6f\n", ciclo, linhas);
    return achados == 0 ? 0 : 3;  // no generated name is 12 letters long
}
