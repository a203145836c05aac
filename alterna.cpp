// alterna <nome>: deletes the medicine <nome> of BD.bin by marking its first
// record, or restores it when it was deleted. Runs of alterna follow one
// another through the semaphore of key 4567.
#include "common/chave.h"
#include "common/ficheiro.h"
#include "common/ipc.h"
#include "common/para_testes.h"
#include "common/semaforo_abandonado.h"
#include "common/tranca.h"
#include "common/varrimento.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int remover;  // the state semaphore's set id

static bool qualquer(int32_t)
{
    return true;
}

// Writes m back over record j, whole. A short write is continued. The old
// and new record differ only in byte 24, the low byte of `estado` (the file
// is little-endian on every host), so a write that fails part-way (a file
// size limit, a full disk) leaves the old record when it stopped short of
// that byte, and the new one when that byte reached the file. True when the
// new record is in the file; otherwise false, with errno set.
static bool escreve_registo(int fd, int64_t j)
{
    int64_t escritos = 0;
    if (escreve_tudo(fd, reinterpret_cast<const char *>(&m), sizeof m, j * tamanho_registo, escritos))
        return true;
    return escritos > static_cast<int64_t>(offsetof(medicamento, estado));
}

// The semaphore excludes only the runs that share this machine's IPC
// namespace: runs in two containers, or on two machines, that reach one
// BD.bin through a shared or network file system each have a set of their
// own. They are excluded by a write lock on the whole file, held by the
// open file description from before the scan that finds the record until
// the file is closed, after the write-back is on the disk. It is advisory:
// procura and povoa do not take it, and need not. A wait interrupted by a
// signal that does not end the program goes on waiting. False, with errno
// set, when the lock cannot be had (a file system that carries no locks).
static bool tranca_o_ficheiro(int fd)
{
    struct flock tranca {};
    tranca.l_type = F_WRLCK;
    tranca.l_whence = SEEK_SET;  // from byte 0 to whatever the end becomes
    while (fcntl(fd, F_OFD_SETLKW, &tranca) == -1)
        if (errno != EINTR)
            return false;
    return true;
}

// What a run did, which says what it prints once the file is closed.
enum class feito {
    nada,        // no record of the name
    apagou,      // deleted, and on the disk
    recuperou,   // restored, and on the disk
    invalido,    // a first record of an invalid state, left as it was
    falhou,      // reported on standard error
};

// Switches the state of the first record named `nome` in the open file,
// locked by tranca_o_ficheiro.
static feito alterna_em(int fd, std::string_view nome)
{
    const int64_t j = percorre(fd, nome, qualquer, modo_pedido());
    if (j == erro_leitura) {
        reporta(nome_ficheiro, errno);
        return feito::falhou;
    }
    if (j == nenhum_aceite)
        return feito::nada;

    const int32_t estado = ordem_do_ficheiro(m.estado);
    if (estado != apagado && estado != disponivel)
        return feito::invalido;
    m.estado = ordem_do_ficheiro(estado == apagado ? disponivel : apagado);
    if (!escreve_registo(fd, j)) {
        reporta(nome_ficheiro, errno);
        return feito::falhou;
    }
    // The change is reported only once it is on the disk: a failed write of
    // the page to the disk shows nowhere but here, and then the cache may
    // hold the new state while the disk holds the old one.
    while (fdatasync(fd) == -1) {
        if (errno == EINTR)
            continue;
        reporta(nome_ficheiro, errno, " (the record's state on disk is now uncertain)");
        return feito::falhou;
    }
    return estado == apagado ? feito::recuperou : feito::apagou;
}

// The exit status: 1 when the file could not be read, the change not
// written to the disk, or the file not closed.
static int alterna(std::string_view nome)
{
    bool tranca_falhou;
    const int fd = abre_trancado(O_RDWR, nome_ficheiro, tranca_o_ficheiro, tranca_falhou);
    if (fd == -1) {
        if (tranca_falhou)
            return 1;
        puts("Ficheiro nao encontrado");
        return 0;
    }
    const feito f = alterna_em(fd, nome);
    if (close(fd) == -1) {
        reporta(nome_ficheiro, errno);
        return 1;
    }
    switch (f) {
    case feito::apagou:
        puts("\nmedicamento apagado\n");
        break;
    case feito::recuperou:
        puts("\nficheiro recuperado\n");
        break;
    case feito::invalido:
        puts("\nEstado Inválido\n");
        break;
    case feito::falhou:
        return 1;
    case feito::nada:
        break;
    }
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc < 2) {
        puts("Argumentos Inválidos");
        return fecha_saida() ? 0 : 1;
    }
    // Past a file size limit the write-back fails with EFBIG, reported like
    // any failed write, instead of the run dying of SIGXFSZ.
    signal(SIGXFSZ, SIG_IGN);
    // Without the lock a concurrent run could read the record before this
    // one writes it back, and one of the two changes would be lost.
    remover = cria_semaforo(chave_do_semaforo(4567, "FARMACIA_CHAVE_ALTERNA"), 1);
    if (remover == -1) {
        fecha_saida();
        return 1;
    }
    inicia_se_abandonado(remover, 1);
    char nome[24];
    const std::string_view pedido = copia_nome(nome, sizeof nome, argv[1]);
    if (P(remover) == -1) {
        fecha_saida();
        return 1;
    }
    int estado = alterna(pedido);
    V(remover);
    if (!fecha_saida())
        estado = 1;
    return estado;
}
