#include "common/tranca.h"

#include "common/ficheiro.h"
#include "common/medicamento.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

// Whether the name BD.bin still leads to the open file `fd`: 1 when it does,
// 0 when it leads to another file or to none (the file was replaced, by a
// restore from a copy or an editor's save, or removed), -1 with errno set
// when that cannot be told.
static int o_nome_ainda_o_leva(int fd)
{
    struct stat aberto, nome;
    if (fstat(fd, &aberto) == -1)
        return -1;
    if (stat(nome_ficheiro, &nome) == -1)
        return errno == ENOENT ? 0 : -1;
    return aberto.st_dev == nome.st_dev && aberto.st_ino == nome.st_ino;
}

int abre_trancado(int modo, const char *rotulo, bool (*tranca)(int), bool &tranca_falhou)
{
    tranca_falhou = false;
    constexpr int substituicoes = 100;
    for (int vez = 0; vez <= substituicoes; ++vez) {
        const int fd = abre_ficheiro(modo, rotulo);
        if (fd == -1)
            return -1;
        tranca_falhou = true;
        if (!tranca(fd)) {
            const int erro = errno;
            close(fd);
            reporta(nome_ficheiro, erro);
            return -1;
        }
        const int mesmo = o_nome_ainda_o_leva(fd);
        if (mesmo == 1)
            return fd;
        const int erro = errno;
        close(fd);
        if (mesmo == -1) {
            reporta(nome_ficheiro, erro);
            return -1;
        }
        tranca_falhou = false;
    }
    reporta_texto(nome_ficheiro, "replaced %d times while this run waited for its lock; nothing was done", substituicoes);
    tranca_falhou = true;
    return -1;
}
