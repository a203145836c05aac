#include "medicamento.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

medicamento m;

// Records read per block: 896 KiB, some 610 reads for a 560 MB file. Measured
// on such a file in page cache, reads of 64 KiB to 2 MiB copy it out equally
// fast, and blocks of 224 to 896 KiB give the same search time; this size
// keeps the calls few and the resident memory about 2 MiB.
static constexpr size_t registos_por_bloco = 32768;
static medicamento bloco[registos_por_bloco];

// The first record of bloco[i .. fim) whose first 8 bytes, under `mascara`,
// are `prefixo`; fim when there is none. Four records are tested per branch.
static size_t candidato(size_t i, size_t fim, uint64_t prefixo, uint64_t mascara)
{
    const auto difere = [&](size_t k) {
        uint64_t inicio;
        std::memcpy(&inicio, bloco[k].nome, sizeof inicio);
        return ((inicio ^ prefixo) & mascara) != 0;
    };
    for (; i + 4 <= fim; i += 4)
        if (!(difere(i) & difere(i + 1) & difere(i + 2) & difere(i + 3))) [[unlikely]]
            break;
    for (; i < fim; ++i)
        if (!difere(i))
            return i;
    return fim;
}

std::string_view nome_de(const medicamento &r)
{
    return {r.nome, strnlen(r.nome, sizeof r.nome)};
}

int64_t percorre(int fd, std::string_view nome, bool (*aceita)(int32_t estado))
{
    if (nome.size() > sizeof m.nome)
        return nenhum_aceite;

    struct stat st;
    if (fstat(fd, &st) == -1)
        return erro_leitura;
    const int64_t total = st.st_size / tamanho_registo;

    // A record can only match when its first min(size + 1, 8) bytes are the
    // name's bytes followed by the terminator; comparing those under a mask
    // turns away nearly every record with one 64-bit compare.
    char chave[sizeof m.nome] = {};
    std::memcpy(chave, nome.data(), nome.size());
    uint64_t prefixo;
    std::memcpy(&prefixo, chave, sizeof prefixo);
    const size_t bytes_prefixo = std::min(nome.size() + 1, sizeof prefixo);
    const uint64_t mascara = bytes_prefixo == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes_prefixo)) - 1;

    int64_t primeiro = 0;  // index of the record at bloco[0]
    size_t parcial = 0;    // bytes of record `primeiro` already at the start of bloco
    while (primeiro < total) {
        const int64_t cabem = std::min<int64_t>(total - primeiro, registos_por_bloco);
        const ssize_t lidos = pread(fd, reinterpret_cast<char *>(bloco) + parcial,
                                    static_cast<size_t>(cabem * tamanho_registo) - parcial,
                                    primeiro * tamanho_registo + static_cast<int64_t>(parcial));
        if (lidos == -1) {
            if (errno == EINTR)
                continue;
            return erro_leitura;
        }
        if (lidos == 0)
            break;  // the file shrank: the records that left it are not there to visit

        const size_t bytes = parcial + static_cast<size_t>(lidos);
        const size_t inteiros = bytes / tamanho_registo;
        for (size_t i = candidato(0, inteiros, prefixo, mascara); i < inteiros;
             i = candidato(i + 1, inteiros, prefixo, mascara)) {
            if (nome_de(bloco[i]) == nome && aceita(bloco[i].estado)) {
                m = bloco[i];
                return primeiro + static_cast<int64_t>(i);
            }
        }
        parcial = bytes % tamanho_registo;
        std::memmove(bloco, bloco + inteiros, parcial);
        primeiro += static_cast<int64_t>(inteiros);
    }
    return nenhum_aceite;
}

std::string_view copia_nome(char *buffer, size_t tamanho, const char *argumento)
{
    const size_t n = strnlen(argumento, tamanho);
    std::memcpy(buffer, argumento, n);
    if (n < tamanho)
        buffer[n] = '\0';
    return {buffer, n};
}

void reporta(const char *objeto, int erro)
{
    std::fprintf(stderr, "%s: %s\n", objeto, std::strerror(erro));
}

int fora_das_normais(int fd)
{
    if (fd > STDERR_FILENO)
        return fd;
    const int outro = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int erro = errno;
    close(fd);
    errno = erro;
    return outro;
}

int abre_ficheiro(int modo)
{
    int fd = open(nome_ficheiro, modo | O_NONBLOCK | O_CLOEXEC);
    if (fd != -1)
        fd = fora_das_normais(fd);
    if (fd == -1) {
        reporta(nome_ficheiro, errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == -1) {
        const int erro = errno;
        close(fd);
        reporta(nome_ficheiro, erro);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        std::fprintf(stderr, "%s: not a regular file\n", nome_ficheiro);
        return -1;
    }
    return fd;
}

bool fecha_saida()
{
    if (std::ferror(stdout) || std::fclose(stdout) != 0) {
        reporta("stdout", errno);
        return false;
    }
    return true;
}
