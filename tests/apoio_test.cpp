// The harness itself: what every other test relies on it for.
#include "apoio.h"

#include <climits>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string ipc_de_este_processo()
{
    char alvo[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/ns/ipc", alvo, sizeof alvo - 1);
    return n > 0 ? std::string(alvo, static_cast<size_t>(n)) : "";
}

// Read before any fixture runs: the namespace the test program was started in.
const std::string ipc_inicial = ipc_de_este_processo();

using Apoio = Ambiente;

TEST_F(Apoio, TestsRunInAnIpcNamespaceOfTheirOwn)
{
    ASSERT_NE(ipc_inicial, "");
    EXPECT_NE(ipc_de_este_processo(), ipc_inicial) << "the machine's semaphore sets would be used";
    EXPECT_TRUE(conjuntos().empty());
}

TEST_F(Apoio, RunWithoutRightsIsHeldToThePermissionBits)
{
    // A file that denies its own owner is refused even to uid 0.
    escreve_ficheiro(bd(), registo("abc", 1, 2, 1));
    ASSERT_EQ(chmod(bd().c_str(), 0), 0);
    const execucao vedado = corre(PROCURA, {"abc"}, {.sem_direitos = true});
    EXPECT_EQ(vedado.estado, 1);
    EXPECT_EQ(vedado.saida, "");
    EXPECT_EQ(vedado.erros, "BD.bin: Permission denied\n");

    // Across exec no capability is left: cat copies what the kernel says
    // of the process it became.
    const execucao estado = corre("/bin/cat", {"/proc/self/status"}, {.sem_direitos = true});
    ASSERT_EQ(estado.estado, 0);
    std::istringstream linhas(estado.saida);
    std::string linha, capacidades;
    while (std::getline(linhas, linha))
        for (const char *conjunto : {"CapInh:", "CapPrm:", "CapEff:", "CapAmb:"})
            if (linha.starts_with(conjunto))
                capacidades += linha + "\n";
    EXPECT_EQ(capacidades, "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\n"
                           "CapEff:\t0000000000000000\nCapAmb:\t0000000000000000\n");
}

}  // namespace
