// povoa: appends POVOA_REGISTOS random medicines to BD.bin, creating it when
// needed. The records are exactly those that srand(time) followed by rand()
// gives on this platform, 12 draws a record; they are built a block of whole
// records at a time and written with large writes, so that a failed write or
// a signal never leaves part of a record in the file (only a kill can: the
// next run cuts it off). One run at a time appends: a run takes an exclusive
// flock on the file before it looks at its size.
#include "common/medicamento.h"
#include "povoa/gerador.h"
#include "povoa/registos.h"

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

// Records written per block: 1,032,192 bytes, just under 1 MiB, of whole
// records only, and a whole number of records for every stretch.
static constexpr size_t registos_por_bloco = 36864;
static_assert(registos_por_bloco % faixas == 0);
static medicamento bloco[registos_por_bloco];

// The signals that usually end a run from the terminal (Ctrl-C, a hangup,
// kill's default) end it between two blocks, never in the middle of a write,
// where they would leave part of a record: their handler only notes the
// signal, and the run dies of it at the next block boundary.
static volatile sig_atomic_t sinal_adiado;

static void nota_sinal(int sinal)
{
    sinal_adiado = sinal;
}

static void adia_sinais_terminais()
{
    struct sigaction nota {};
    nota.sa_handler = nota_sinal;
    sigemptyset(&nota.sa_mask);
    for (const int sinal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction antes;
        // A signal the run was started ignoring (nohup) stays ignored.
        if (sigaction(sinal, nullptr, &antes) == 0 && antes.sa_handler != SIG_IGN)
            sigaction(sinal, &nota, nullptr);
    }
}

static void morre_do_sinal_adiado()
{
    if (const int sinal = sinal_adiado) {
        signal(sinal, SIG_DFL);
        raise(sinal);
    }
}

// Writes `n` bytes of whole records at the end of the file, continuing short
// writes; `escritos` counts the bytes that reached the file.
static bool escreve_bloco(int fd, const char *bytes, size_t n, int64_t &escritos)
{
    size_t feitos = 0;
    while (feitos < n) {
        const ssize_t r = write(fd, bytes + feitos, n - feitos);
        if (r == -1 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r == 0)
                errno = EIO;
            return false;
        }
        feitos += static_cast<size_t>(r);
        escritos += r;
    }
    return true;
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
    const char *bytes = a_mais == 1 ? "byte" : "bytes";
    if (ftruncate(fd, inteiros * tamanho_registo) == -1) {
        std::fprintf(stderr,
                     "%s: %s; the partial record at the end (%lld %s) was not cut off and nothing was "
                     "appended\n",
                     nome_ficheiro, std::strerror(errno), static_cast<long long>(a_mais), bytes);
        return -1;
    }
    std::fprintf(stderr,
                 "%s: cut off %lld %s of a partial record at the end, left by an interrupted write; "
                 "%lld %s kept\n",
                 nome_ficheiro, static_cast<long long>(a_mais), bytes, static_cast<long long>(inteiros),
                 inteiros == 1 ? "whole record" : "whole records");
    return inteiros * tamanho_registo;
}

// Appends the records. On a failed write the file is cut back to the end of
// the last whole record this run wrote.
static bool povoa(int fd, int64_t inicio)
{
    int64_t escritos = 0;
    adia_sinais_terminais();
    for (int64_t feitos = 0; feitos < registos_a_escrever;) {
        morre_do_sinal_adiado();
        const size_t n = static_cast<size_t>(
            std::min<int64_t>(registos_a_escrever - feitos, registos_por_bloco));
        constroi(bloco, n);
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
    morre_do_sinal_adiado();
    return true;
}

static unsigned semente()
{
#ifdef POVOA_PARA_TESTES
    // Test builds only: a run with a chosen seed.
    if (const char *s = getenv("POVOA_SEMENTE"))
        return static_cast<unsigned>(strtoul(s, nullptr, 10));
#endif
    return static_cast<unsigned>(time(nullptr));
}

#ifndef FARMACIA_VERSAO
#define FARMACIA_VERSAO "(unknown version)"
#endif

static void uso(FILE *onde)
{
    std::fprintf(onde,
                 "usage: povoa [--help | --version]\n"
                 "Appends %lld random medicines to BD.bin in the current directory, creating the\n"
                 "file when needed. Arguments that do not begin with '-' are ignored.\n",
                 static_cast<long long>(registos_a_escrever));
}

// The options, before anything touches BD.bin: --help and --version answer
// and end the run, any other argument that begins with '-' is refused, and
// the rest are ignored, as they always were. True when the run ends here,
// with `estado` its exit status.
static bool responde_a_opcoes(int argc, char *argv[], int &estado)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view opcao = argv[i];
        if (!opcao.starts_with('-'))
            continue;
        if (opcao == "--help")
            uso(stdout);
        else if (opcao == "--version")
            std::puts("povoa (farmacia) " FARMACIA_VERSAO);
        else {
            std::fprintf(stderr, "povoa: unrecognized option '%s'\n", argv[i]);
            uso(stderr);
            estado = 2;
            return true;
        }
        estado = fecha_saida() ? 0 : -1;
        return true;
    }
    return false;
}

int main(int argc, char *argv[])
{
    if (int estado; responde_a_opcoes(argc, argv, estado))
        return estado;
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
