// The semaphore helpers: what they create, what they leave alone, and how
// they report failures.
#include "apoio.h"
#include "falhas.h"

#include "common/ipc.h"

#include <cerrno>
#include <sys/ipc.h>
#include <unistd.h>

namespace {

using Semaforos = Ambiente;

// The key the helpers are tried on, one of the test's own.
const int &chave = chaves.propria;

TEST_F(Semaforos, FirstCallCreatesOneSemaphoreAt1AndPVLeaveIt)
{
    const int id = cria_semaforo(chave, 1);
    ASSERT_NE(id, -1);
    EXPECT_EQ(P(id), 0);
    EXPECT_EQ(semctl(id, 0, GETVAL), 0);
    EXPECT_EQ(V(id), 0);
    EXPECT_EQ(conjuntos(), (std::vector<conjunto>{{chave, id, 0666, 1, 1}}));
}

TEST_F(Semaforos, ExistingSetIsOpenedWithoutResettingItsValue)
{
    const int id = semget(chave, 1, IPC_CREAT | 0666);
    ASSERT_NE(id, -1);
    ASSERT_EQ(semctl(id, 0, SETVAL, semun{.val = 0}), 0);
    EXPECT_EQ(cria_semaforo(chave, 1), id);
    EXPECT_EQ(semctl(id, 0, GETVAL), 0);
    EXPECT_EQ(conjuntos().size(), 1u);
}

TEST_F(Semaforos, SetWhoseCreatorDiedBeforeSettingItKeepsNoRunWaiting)
{
    // Created, and never set nor used: its creator was killed between its
    // semget and its SETVAL. A set that a run holds is waited for
    // (Tranca.StoppedAndContinued...).
    escreve_ficheiro(bd(), registo("abc", 1, 2, 1) + registo("def", 3, 4, 1));
    for (const int k : {chaves.procura, chaves.alterna})
        ASSERT_NE(semget(k, 1, IPC_CREAT | IPC_EXCL | 0666), -1);
    const opcoes breve{.segundos = 15};
    const pid_t procura = lanca(PROCURA, {"def"}, breve, 0), alterna = lanca(ALTERNA, {"abc"}, breve, 1);
    EXPECT_EQ(espera(procura, breve, 0), (execucao{0, encontrado("def", 3, 4), ""}));
    EXPECT_EQ(espera(alterna, breve, 1), (execucao{0, apagado_msg, ""}));
    semaforo_livre(chaves.procura);
    semaforo_livre(chaves.alterna);
}

TEST_F(Semaforos, RunKilledHoldingTheLockGivesItBack)
{
    const int id = cria_semaforo(chave, 1);
    const execucao e = em_filho([id] {
        P(id);
        _exit(9);  // dies holding the lock
        return 0;
    });
    EXPECT_EQ(e.estado, 9);
    EXPECT_EQ(semctl(id, 0, GETVAL), 1);
}

TEST_F(Semaforos, OperationsOnAFailedIdReportAndReturnMinusOne)
{
    EXPECT_EQ(em_filho([] { return P(-1); }), (execucao{255, "Erro no P(-1) errno=22\n", "P: Invalid argument\n"}));
    EXPECT_EQ(em_filho([] { return V(-1); }), (execucao{255, "Erro no V(-1) errno=22\n", "V: Invalid argument\n"}));
    EXPECT_EQ(em_filho([] { return remove_semaforo(-1); }),
              (execucao{255, "", "Erro no remove_semaforo: Invalid argument\n"}));
}

TEST_F(Semaforos, SetThatMayNotBeUsedIsReportedAsGetFailure)
{
    ASSERT_NE(semget(chave, 1, IPC_CREAT | 0), -1);  // not even its owner may use it
    EXPECT_EQ(em_filho([] {
                  larga_direitos();
                  return cria_semaforo(chave, 1);
              }),
              (execucao{255, "", "Erro no get_semaforo: Permission denied\n"}));
}

TEST_F(Semaforos, OpeningAfterAFailedCreationNeverCreates)
{
    // The second call opens an existing set only: were it to create one, a
    // set removed between the two calls would come back at the system's 0,
    // and every later run would wait for ever.
    EXPECT_EQ(em_filho([] {
                  falha_semget_exclusivo(ENOSPC);
                  return cria_semaforo(chave, 1);
              }),
              (execucao{255, "", "Erro no get_semaforo: No such file or directory\n"}));
    EXPECT_TRUE(conjuntos().empty());
}

TEST_F(Semaforos, FailedSetvalIsReportedAndLeavesTheNewSet)
{
    // 40,000 is over the largest value a semaphore may hold.
    EXPECT_EQ(em_filho([] { return cria_semaforo(chave, 40000); }),
              (execucao{255, "", "Erro no cria_semaforo: Numerical result out of range\n"}));
    ASSERT_EQ(conjuntos().size(), 1u);
    EXPECT_EQ(remove_semaforo(conjuntos()[0].id), 0);
    EXPECT_TRUE(conjuntos().empty());
}

}  // namespace
