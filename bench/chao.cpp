// The floor of a search: the scan's masked compare of every record's first
// 8 bytes, over a copy of BD.bin in anonymous memory (huge pages where the
// kernel gives them), with no file and no mapping of one to pay for.
//   chao <file> <runs>    prints the fastest run's time in seconds
#include "common/medicamento.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc != 3)
        return 2;
    const int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (fd == -1 || fstat(fd, &st) == -1) {
        perror(argv[1]);
        return 1;
    }
    const size_t bytes = static_cast<size_t>(st.st_size), grande = size_t{2} << 20;
    auto *base = static_cast<char *>(mmap(nullptr, bytes + grande, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base == MAP_FAILED)
        return 1;
    char *dados = reinterpret_cast<char *>((reinterpret_cast<uintptr_t>(base) + grande - 1) & ~(grande - 1));
    madvise(dados, bytes, MADV_HUGEPAGE);
    for (size_t lidos = 0; lidos < bytes;) {
        const ssize_t r = pread(fd, dados + lidos, bytes - lidos, static_cast<off_t>(lidos));
        if (r <= 0)
            return 1;
        lidos += static_cast<size_t>(r);
    }
    // "zzzzzzzzzzzz": no generated name, as in the benchmark's searches.
    uint64_t prefixo, mascara = ~uint64_t{0};
    std::memcpy(&prefixo, "zzzzzzzz", 8);
    double melhor = 1e9;
    size_t achados = 0;
    for (int vez = 0; vez < std::atoi(argv[2]); ++vez) {
        const auto inicio = std::chrono::steady_clock::now();
        for (size_t i = 0; i + tamanho_registo <= bytes; i += tamanho_registo) {
            uint64_t v;
            std::memcpy(&v, dados + i, sizeof v);
            achados += ((v ^ prefixo) & mascara) == 0;
        }
        melhor = std::min(melhor, std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count());
    }
    std::printf("%.6f\n", melhor);
    return achados == 0 ? 0 : 3;
}
