// povoa: appends POVOA_REGISTOS random medicines to BD.bin, creating it when
// needed. The records are exactly those that srand(time) followed by rand()
// gives on this platform, 12 draws a record; they are built a block of whole
// records at a time and written with large writes, so that a failed write or
// a signal never leaves part of a record in the file (only a kill can: the
// next run cuts it off). One run at a time appends: a run takes an exclusive
// flock on the file before it looks at its size.
#include "common/medicamento.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef POVOA_REGISTOS
#define POVOA_REGISTOS 20000000
#endif
static constexpr int64_t registos_a_escrever = POVOA_REGISTOS;

// ---------------------------------------------------------------------------
// The platform's rand(), restated without its lock. glibc's rand() is
// random() on a 31-word additive-feedback state (its TYPE_3): seeding fills
// the state from the seed with the minimal standard generator and throws the
// first 310 draws away; each draw adds the word three places back to the
// current one, modulo 2^32, and yields that sum without its low bit. At start
// the program compares its first draws with the library's own rand() and uses
// rand() itself when they differ, so another C library cannot change the bytes.

static constexpr int grau = 31;       // words of state
static constexpr int separacao = 3;   // distance of the word added to the current one
static constexpr int descartados = 10 * grau;

// Draws of one batch, preceded by the grau words before them: draw i is
// sorteios[grau + i] >> 1 and sorteios[i] = sorteios[i - grau] + sorteios[i - separacao].
static constexpr size_t registos_por_lote = 1024;
static constexpr size_t sorteios_por_registo = 12;
static constexpr size_t sorteios_por_lote = registos_por_lote * sorteios_por_registo;
static uint32_t sorteios[grau + sorteios_por_lote];

static bool usa_rand;  // the restatement differs from this library's rand()

// Fills the batch with the next `n` draws, as sorteios[grau .. grau + n).
static void sorteia(size_t n)
{
    if (usa_rand) {
        for (size_t i = 0; i < n; ++i)
            sorteios[grau + i] = static_cast<uint32_t>(rand()) << 1;
        return;
    }
    // Three sums at a time, each from the one three places back, kept in a
    // register: going through memory, the store of one sum and the load of
    // the next overlap only in part and stall the processor.
    static_assert(separacao == 3);
    uint32_t a = sorteios[grau - 3], b = sorteios[grau - 2], c = sorteios[grau - 1];
    size_t i = grau;
    for (; i + 3 <= grau + n; i += 3) {
        a += sorteios[i - grau];
        b += sorteios[i + 1 - grau];
        c += sorteios[i + 2 - grau];
        sorteios[i] = a;
        sorteios[i + 1] = b;
        sorteios[i + 2] = c;
    }
    for (; i < grau + n; ++i)
        sorteios[i] = sorteios[i - grau] + sorteios[i - separacao];
}

// Makes the last grau words of the batch of `n` draws the state before the next.
static void avanca(size_t n)
{
    std::memmove(sorteios, sorteios + n, grau * sizeof sorteios[0]);
}

static void semeia(unsigned semente)
{
    if (semente == 0)
        semente = 1;
    int32_t palavra = static_cast<int32_t>(semente);
    sorteios[0] = static_cast<uint32_t>(palavra);
    for (int i = 1; i < grau; ++i) {
        // palavra = 16807 * palavra mod (2^31 - 1), without overflowing 31 bits
        const long alto = palavra / 127773;
        const long baixo = palavra % 127773;
        palavra = static_cast<int32_t>(16807 * baixo - 2836 * alto);
        if (palavra < 0)
            palavra += 2147483647;
        sorteios[i] = static_cast<uint32_t>(palavra);
    }
    // The state is kept in the order it is consumed: from the oldest of the
    // last grau sums to the newest. Seeding leaves the word `separacao` places
    // on as the first to be replaced, so rotate it to the front.
    uint32_t rodado[grau];
    for (int i = 0; i < grau; ++i)
        rodado[i] = sorteios[(i + separacao) % grau];
    std::memcpy(sorteios, rodado, sizeof rodado);
    sorteia(descartados);
    avanca(descartados);
}

static int sorteio(size_t i)
{
    return static_cast<int>(sorteios[grau + i] >> 1);
}

// Seeds the restatement and rand() alike and checks the first draws of one
// against the other; a mismatch makes the run use rand() from its first draw.
static void prepara_sorteios(unsigned semente)
{
    constexpr size_t verificados = 4 * grau;
    semeia(semente);
    sorteia(verificados);
    srand(semente);
    usa_rand = false;
    for (size_t i = 0; i < verificados; ++i)
        if (sorteio(i) != rand())
            usa_rand = true;
#ifdef POVOA_SEM_ATALHO
    usa_rand = true;
#endif
    if (!usa_rand)
        semeia(semente);
    srand(semente);
}

// ---------------------------------------------------------------------------

// A letter from a draw r in 0 .. 2^31 - 1: (int)((double)r / 2^31 * 26.0) + 'a'.
// Both steps of that are exact in double precision (a division by a power of
// two, and a product below 2^36), so it equals floor(26 r / 2^31).
static char letra(int r)
{
    return static_cast<char>('a' + ((static_cast<int64_t>(r) * 26) >> 31));
}

// Builds n <= registos_por_lote records, drawing 12 numbers for each: its 11
// letters in order, then its sales.
static void constroi(medicamento *destino, size_t n)
{
    sorteia(n * sorteios_por_registo);
    for (size_t k = 0; k < n; ++k) {
        medicamento &r = destino[k];
        const size_t base = k * sorteios_por_registo;
        for (size_t i = 0; i < 11; ++i)
            r.nome[i] = letra(sorteio(base + i));
        std::memset(r.nome + 11, 0, sizeof r.nome - 11);
        r.stock = 100;
        r.vendas = sorteio(base + 11) % 200;
        r.estado = disponivel;
    }
    avanca(n * sorteios_por_registo);
}

// ---------------------------------------------------------------------------

// Records written per block: just under 1 MiB, whole records only.
static constexpr size_t registos_por_bloco = (1 << 20) / tamanho_registo / registos_por_lote * registos_por_lote;
static medicamento bloco[registos_por_bloco];

// Writes `n` bytes of whole records at the end of the file, continuing short
// writes; `escritos` counts the bytes that reached the file. The signals that
// usually end a run from the terminal are held off for the block, so an
// interrupted run stops between blocks.
static bool escreve_bloco(int fd, const char *bytes, size_t n, int64_t &escritos)
{
    sigset_t adiados, antes;
    sigemptyset(&adiados);
    sigaddset(&adiados, SIGINT);
    sigaddset(&adiados, SIGTERM);
    sigaddset(&adiados, SIGHUP);
    sigprocmask(SIG_BLOCK, &adiados, &antes);
    bool certo = true;
    size_t feitos = 0;
    while (feitos < n) {
        const ssize_t r = write(fd, bytes + feitos, n - feitos);
        if (r == -1 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r == 0)
                errno = EIO;
            certo = false;
            break;
        }
        feitos += static_cast<size_t>(r);
        escritos += r;
    }
    const int erro = errno;
    sigprocmask(SIG_SETMASK, &antes, nullptr);
    errno = erro;
    return certo;
}

// Opens BD.bin as fopen's "ab+" would (read and append, created 0666 less
// the umask), never on one of the standard descriptors, where a message
// printed later would land in the database. -1 after reporting.
static int abre()
{
    int fd = open(nome_ficheiro, O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd != -1)
        fd = fora_das_normais(fd);
    if (fd == -1) {
        perror("can't open: ");
        return -1;
    }
    return fd;
}

// Takes the generator's lock and makes the file end on a record boundary.
// Holding the lock, this run is the only one appending, so bytes past the
// last whole record can only be what an interrupted run (a kill, a crash)
// left of a record it never finished: no reader ever saw them as a record,
// and they are cut off, saying so. The size in bytes to append at, or -1
// after reporting.
static int64_t prepara_ficheiro(int fd)
{
    while (flock(fd, LOCK_EX) == -1) {
        if (errno != EINTR) {
            reporta(nome_ficheiro, errno);
            return -1;
        }
    }
    struct stat st;
    if (fstat(fd, &st) == -1) {
        reporta(nome_ficheiro, errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s: not a regular file\n", nome_ficheiro);
        return -1;
    }
    const int64_t inteiros = st.st_size / tamanho_registo;
    const int64_t a_mais = st.st_size % tamanho_registo;
    if (a_mais == 0)
        return st.st_size;
    if (ftruncate(fd, inteiros * tamanho_registo) == -1) {
        std::fprintf(stderr,
                     "%s: %s; o registo incompleto no fim (%lld bytes) não foi cortado e nada foi "
                     "acrescentado\n",
                     nome_ficheiro, std::strerror(errno), static_cast<long long>(a_mais));
        return -1;
    }
    const bool um = a_mais == 1;
    std::fprintf(stderr,
                 "%s: %lld %s de um registo incompleto no fim, %s por uma escrita interrompida, "
                 "%s; %lld %s\n",
                 nome_ficheiro, static_cast<long long>(a_mais), um ? "byte" : "bytes",
                 um ? "deixado" : "deixados", um ? "foi cortado" : "foram cortados",
                 static_cast<long long>(inteiros),
                 inteiros == 1 ? "registo inteiro mantido" : "registos inteiros mantidos");
    return inteiros * tamanho_registo;
}

// Appends the records. On a failed write the file is cut back to the end of
// the last whole record this run wrote.
static bool povoa(int fd, int64_t inicio)
{
    int64_t escritos = 0;
    for (int64_t feitos = 0; feitos < registos_a_escrever;) {
        const size_t n = static_cast<size_t>(
            std::min<int64_t>(registos_a_escrever - feitos, registos_por_bloco));
        for (size_t k = 0; k < n; k += registos_por_lote)
            constroi(bloco + k, std::min(registos_por_lote, n - k));
        if (!escreve_bloco(fd, reinterpret_cast<const char *>(bloco), n * sizeof bloco[0], escritos)) {
            const int erro = errno;
            const int64_t fim = inicio + escritos / tamanho_registo * tamanho_registo;
            errno = erro;
            perror(nome_ficheiro);
            if (ftruncate(fd, fim) == -1)
                reporta(nome_ficheiro, errno);
            return false;
        }
        feitos += static_cast<int64_t>(n);
    }
    return true;
}

static unsigned semente()
{
#ifdef POVOA_SEMENTE_DO_AMBIENTE
    // Test builds only: a run with a chosen seed.
    if (const char *s = getenv("POVOA_SEMENTE"))
        return static_cast<unsigned>(strtoul(s, nullptr, 10));
#endif
    return static_cast<unsigned>(time(nullptr));
}

int main()
{
    prepara_sorteios(semente());
    // Past a file size limit a write fails with EFBIG instead of killing the
    // run in the middle of a record.
    signal(SIGXFSZ, SIG_IGN);

    const int fd = abre();
    if (fd == -1)
        return -1;
    const int64_t inicio = prepara_ficheiro(fd);
    if (inicio == -1) {
        close(fd);
        return -1;
    }
    puts("A ESCREVER ...");
    if (fflush(stdout) != 0) {
        reporta("stdout", errno);
        close(fd);
        return -1;
    }
    if (!povoa(fd, inicio)) {
        close(fd);
        return -1;
    }
    if (close(fd) == -1) {
        reporta(nome_ficheiro, errno);
        return -1;
    }
    return fecha_saida() ? 0 : -1;
}
