// procura <nome>: tells whether the medicine <nome> of BD.bin is available,
// with its stock and sales, deleted, or not in the database at all. Runs of
// procura follow one another through the semaphore of key 2345.
#include "common/chave.h"
#include "common/ficheiro.h"
#include "common/ipc.h"
#include "common/para_testes.h"
#include "common/semaforo_abandonado.h"
#include "common/varrimento.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

int procura;  // the search semaphore's set id

static bool decide(int32_t estado)
{
    return estado == disponivel || estado == apagado;
}

// Prints the answer for `nome`. False when BD.bin could not be opened or read;
// the cause is then reported on standard error and nothing is printed.
static bool procura_med(std::string_view nome)
{
    const int fd = abre_ficheiro(O_RDONLY, nome_ficheiro);
    if (fd == -1)
        return false;
    const int64_t j = percorre(fd, nome, decide, modo_pedido());
    if (j == erro_leitura) {
        reporta(nome_ficheiro, errno);
        close(fd);
        return false;
    }
    close(fd);

    if (j == nenhum_aceite) {
        puts("Medicamento Inexistente");
    } else if (ordem_do_ficheiro(m.estado) == disponivel) {
        puts("\nMedicamento Encontrado");
        printf("\nNome %.16s\n", m.nome);
        printf("Stock %i\n", ordem_do_ficheiro(m.stock));
        printf("Vendas %i\n\n", ordem_do_ficheiro(m.vendas));
    } else {
        puts("Medicamento Indisponivel");
    }
    return true;
}

int main(int argc, char *argv[])
{
    if (argc != 2) {
        puts("Argumentos Inválidos");
        return fecha_saida() ? 0 : 1;
    }
    // A failed cria_semaforo leaves -1, on which P and V report their failure;
    // the search only reads, so it still runs without the lock.
    procura = cria_semaforo(chave_do_semaforo(2345, "FARMACIA_CHAVE_PROCURA"), 1);
    if (procura != -1)
        inicia_se_abandonado(procura, 1);
    char nome[24];
    const std::string_view pedido = copia_nome(nome, sizeof nome, argv[1]);
    P(procura);
    const bool feito = procura_med(pedido);
    V(procura);
    const bool escrito = fecha_saida();
    return feito && escrito ? 0 : 1;
}
