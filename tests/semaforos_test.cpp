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
    const auto lista = conjuntos();
    ASSERT_EQ(lista.size(), 1u);
    EXPECT_EQ(lista[0].chave, chave);
    EXPECT_EQ(lista[0].id, id);
    EXPECT_EQ(lista[0].permissoes, 0666);
    EXPECT_EQ(lista[0].semaforos, 1);
    EXPECT_EQ(lista[0].valor, 1);
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
    const execucao p = em_filho([] { return P(-1); });
    EXPECT_EQ(p.estado, 255);
    EXPECT_EQ(p.saida, "Erro no P(-1) errno=22\n");
    EXPECT_EQ(p.erros, "P: Invalid argument\n");

    const execucao v = em_filho([] { return V(-1); });
    EXPECT_EQ(v.estado, 255);
    EXPECT_EQ(v.saida, "Erro no V(-1) errno=22\n");
    EXPECT_EQ(v.erros, "V: Invalid argument\n");

    const execucao r = em_filho([] { return remove_semaforo(-1); });
    EXPECT_EQ(r.estado, 255);
    EXPECT_EQ(r.saida, "");
    EXPECT_EQ(r.erros, "Erro no remove_semaforo: Invalid argument\n");
}

TEST_F(Semaforos, SetThatMayNotBeUsedIsReportedAsGetFailure)
{
    ASSERT_NE(semget(chave, 1, IPC_CREAT | 0), -1);  // not even its owner may use it
    const execucao e = em_filho([] {
        larga_direitos();
        return cria_semaforo(chave, 1);
    });
    EXPECT_EQ(e.estado, 255);
    EXPECT_EQ(e.saida, "");
    EXPECT_EQ(e.erros, "Erro no get_semaforo: Permission denied\n");
}

TEST_F(Semaforos, OpeningAfterAFailedCreationNeverCreates)
{
    // The second call opens an existing set only: were it to create one, a
    // set removed between the two calls would come back at the system's 0,
    // and every later run would wait for ever.
    const execucao e = em_filho([] {
        falha_semget_exclusivo(ENOSPC);
        return cria_semaforo(chave, 1);
    });
    EXPECT_EQ(e.estado, 255);
    EXPECT_EQ(e.saida, "");
    EXPECT_EQ(e.erros, "Erro no get_semaforo: No such file or directory\n");
    EXPECT_TRUE(conjuntos().empty());
}

TEST_F(Semaforos, FailedSetvalIsReportedAndLeavesTheNewSet)
{
    // 40,000 is over the largest value a semaphore may hold.
    const execucao e = em_filho([] { return cria_semaforo(chave, 40000); });
    EXPECT_EQ(e.estado, 255);
    EXPECT_EQ(e.erros, "Erro no cria_semaforo: Numerical result out of range\n");
    ASSERT_EQ(conjuntos().size(), 1u);
    EXPECT_EQ(remove_semaforo(conjuntos()[0].id), 0);
    EXPECT_TRUE(conjuntos().empty());
}

}  // namespace
