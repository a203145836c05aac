// The harness itself: what every other test relies on it for.
#include "apoio.h"

#include <climits>
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
    escreve_ficheiro(bd(), "x");
    ASSERT_EQ(chmod(bd().c_str(), 0), 0);
    const execucao vedado = corre("/bin/cat", {"BD.bin"}, {.sem_direitos = true});
    EXPECT_EQ(vedado.estado, 1);
    EXPECT_EQ(vedado.saida, "");
    EXPECT_EQ(vedado.erros, "/bin/cat: BD.bin: Permission denied\n");

    const execucao estado = corre("/bin/grep", {"^Cap[PEIA][a-z]*:", "/proc/self/status"},
                                  {.sem_direitos = true});
    EXPECT_EQ(estado.saida, "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\n"
                            "CapEff:\t0000000000000000\nCapAmb:\t0000000000000000\n");
}

}  // namespace
