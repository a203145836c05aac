// The harness itself: what every other test relies on it for.
#include "apoio.h"

#include <cstdlib>
#include <set>
#include <sys/sem.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Apoio = Ambiente;

// The set of `chave` on the machine, as its id, or -1 when there is none.
int conjunto_de(int chave)
{
    return semget(chave, 0, 0);
}

TEST_F(Apoio, TestsUseSetsOfTheirOwnNeverTheMachines)
{
    // Whatever the machine's programs hold at 2345 and 4567 is left as it
    // was: the programs the tests run make the test's sets instead.
    const int procura_antes = conjunto_de(2345), alterna_antes = conjunto_de(4567);
    EXPECT_NE(chaves.procura, 2345);
    EXPECT_NE(chaves.alterna, 4567);
    EXPECT_TRUE(conjuntos().empty());
    escreve_ficheiro(bd(), "");
    EXPECT_EQ(corre(PROCURA, {"abc"}).saida, "Medicamento Inexistente\n");
    EXPECT_EQ(corre(ALTERNA, {"abc"}).estado, 0);
    const auto lista = conjuntos();
    ASSERT_EQ(lista.size(), 2u);
    EXPECT_EQ((std::set<int>{lista[0].chave, lista[1].chave}), (std::set<int>{chaves.procura, chaves.alterna}));
    EXPECT_EQ(conjunto_de(2345), procura_antes);
    EXPECT_EQ(conjunto_de(4567), alterna_antes);
}

using Chaves = ChavesReais;

TEST_F(Chaves, InstalledProgramsUseTheirOwnKeys2345And4567)
{
    // The builds the tests run read their keys from the environment; the
    // installed ones never do.
    setenv("FARMACIA_CHAVE_PROCURA", "1111", 1);
    setenv("FARMACIA_CHAVE_ALTERNA", "2222", 1);
    escreve_ficheiro(bd(), registo("abc", 1, 2, 1));
    EXPECT_EQ(corre(PROCURA_INSTALADO, {"abc"}).saida, encontrado("abc", 1, 2));
    EXPECT_EQ(corre(ALTERNA_INSTALADO, {"abc"}).saida, apagado_msg);
    EXPECT_EQ(semget(1111, 0, 0), -1);
    EXPECT_EQ(semget(2222, 0, 0), -1);
    EXPECT_EQ(conjuntos().size(), 2u);
    semaforo_livre(2345);
    semaforo_livre(4567);
}

TEST_F(Apoio, RunWithoutRightsIsHeldToThePermissionBits)
{
    // Across exec no capability is left, even to uid 0 (a file that denies
    // its own owner is refused then, as Ficheiro's tests show): cat copies
    // what the kernel says of the process it became.
    const execucao estado = corre("/bin/cat", {"/proc/self/status"}, sem_root);
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
