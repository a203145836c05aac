// povoa: appends POVOA_REGISTOS random medicines to BD.bin, creating it when
// needed. The records are exactly those that srand(time) followed by rand()
// gives on this platform, 12 draws a record. They are written in pieces of
// bytes_por_peca (2 MiB) that start and end at multiples of it in the file (the first
// reaches the first such boundary past the file's end, the last ends the
// run), so that the page cache can hold the file in 2 MiB folios, which a
// search maps whole. A piece rarely ends on a record boundary: between two
// writes the file may end in part of a record, which the next write
// completes; readers only ever take whole records. However a run ends short
// of a kill (completion, a failed write, a terminal signal, a file size
// limit) it leaves only whole records: a failed write is cut back to the last
// whole record, and a signal is acted on between two pieces, once the record
// in progress is complete. A kill can leave part of a record: the next run
// cuts it off. One run at a time appends: a run takes an exclusive flock on
// the file named BD.bin before it looks at its size.
#include "common/ficheiro.h"
#include "common/medicamento.h"
#include "common/para_testes.h"
#include "common/tranca.h"
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
#include <string_view>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef POVOA_REGISTOS
#define POVOA_REGISTOS 20000000
#endif
static constexpr int64_t registos_a_escrever = POVOA_REGISTOS;

// The records the pieces are cut from: a piece's bytes run from `desvio`
// into bloco[0] (the bytes of that record the file already holds) through
// the record it ends inside of, so a piece touches at most
// (27 + bytes_por_peca) / 28 + 1 records.
static medicamento bloco[(tamanho_registo - 1 + bytes_por_peca) / tamanho_registo + 1];

// The signals that usually end a run from the terminal (Ctrl-C, a hangup,
// kill's default) end it between two pieces, never in the middle of a write:
// their handler only notes the signal, and the run dies of it before the
// next piece, once the record the last piece ended inside of is complete.
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

// The generator's lock: exclusive, on the file, so that one run at a time
// appends. A wait interrupted by a signal that does not end the run goes on.
static bool tranca_o_ficheiro(int fd)
{
    while (flock(fd, LOCK_EX) == -1)
        if (errno != EINTR)
            return false;
    return true;
}

// Makes the file, locked, end on a record boundary. Holding the lock, this
// run is the only one appending, so bytes past the last whole record can
// only be what an interrupted run (a kill, a crash) left of a record it
// never finished: no reader ever saw them as a record, and they are cut
// off, saying so. The size in bytes to append at, or -1 after reporting.
static int64_t prepara_ficheiro(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == -1) {
        reporta(nome_ficheiro, errno);
        return -1;
    }
    const int64_t inteiros = st.st_size / tamanho_registo;
    const int64_t a_mais = st.st_size % tamanho_registo;
    if (a_mais == 0)
        return st.st_size;
    const char *bytes = a_mais == 1 ? "byte" : "bytes";
    if (ftruncate(fd, inteiros * tamanho_registo) == -1) {
        reporta_texto(nome_ficheiro, "%s; the partial record at the end (%lld %s) was not cut off and nothing was appended",
                      std::strerror(errno), static_cast<long long>(a_mais), bytes);
        return -1;
    }
    reporta_texto(nome_ficheiro, "cut off %lld %s of a partial record at the end, left by an interrupted write; %lld %s kept",
                  static_cast<long long>(a_mais), bytes, static_cast<long long>(inteiros),
                  inteiros == 1 ? "whole record" : "whole records");
    return inteiros * tamanho_registo;
}

// After a failed write: the file cut back to the end of the last whole
// record this run wrote, then the failure reported, so that what the file
// holds never hangs on whether the report could be written.
static bool corta_para_inteiros(int fd, int64_t inicio, int64_t escritos)
{
    const int erro = errno;
    const bool cortado = ftruncate(fd, inicio + escritos / tamanho_registo * tamanho_registo) == 0;
    const int erro_do_corte = errno;
    reporta(nome_ficheiro, erro);
    if (!cortado)
        reporta(nome_ficheiro, erro_do_corte);
    return false;
}

// Between two pieces: a noted signal ends the run, once the record the last
// piece ended inside of (bloco[0]) is complete.
static void morre_do_sinal_adiado(int fd, int64_t inicio, int64_t &escritos)
{
    const int sinal = sinal_adiado;
    if (sinal == 0)
        return;
    if (const size_t desvio = static_cast<size_t>(escritos % tamanho_registo); desvio > 0)
        if (!escreve_tudo(fd, reinterpret_cast<const char *>(bloco) + desvio, sizeof bloco[0] - desvio, -1, escritos))
            corta_para_inteiros(fd, inicio, escritos);
    signal(sinal, SIG_DFL);
    raise(sinal);
}

// Appends the records, a piece at a time, after `inicio`, a record boundary.
static bool povoa(int fd, int64_t inicio)
{
    const int64_t total = registos_a_escrever * tamanho_registo;
    int64_t escritos = 0;
    adia_sinais_terminais();
    for (;;) {
        morre_do_sinal_adiado(fd, inicio, escritos);
        if (escritos == total)
            return true;
        const size_t desvio = static_cast<size_t>(escritos % tamanho_registo);
        const int64_t fim = inicio + escritos;
        const size_t peca = static_cast<size_t>(std::min(total - escritos, bytes_por_peca - fim % bytes_por_peca));
        const size_t registos = (desvio + peca + sizeof bloco[0] - 1) / sizeof bloco[0];
        const size_t ja_feito = desvio > 0 ? 1 : 0;
        constroi(bloco + ja_feito, registos - ja_feito);
        if (!escreve_tudo(fd, reinterpret_cast<const char *>(bloco) + desvio, peca, -1, escritos))
            return corta_para_inteiros(fd, inicio, escritos);
        // The record the piece ended inside of begins the next one.
        if ((desvio + peca) % sizeof bloco[0] != 0)
            bloco[0] = bloco[registos - 1];
    }
}

static unsigned semente()
{
    if (const char *s = do_teste<povoa_do_teste>("POVOA_SEMENTE"))
        return static_cast<unsigned>(strtoul(s, nullptr, 10));
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
            reporta_texto("povoa", "unrecognized option '%s'", argv[i]);
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
    // run in the middle of a record; and a report or the message written to
    // a pipe that nobody reads fails with EPIPE, instead of killing the run
    // before it has cut the file back to whole records, or after it has
    // appended nothing: the run ends with 255 either way.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);

    // As fopen's "ab+" opens it: read and append, created 0666 less the umask.
    bool tranca_falhou;
    const int fd = abre_trancado(O_RDWR | O_APPEND | O_CREAT, "can't open: ", tranca_o_ficheiro, tranca_falhou);
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
