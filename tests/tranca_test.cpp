// The programs' waits where users run them: a run stopped and continued
// while it waits for its semaphore, a file under another process's lease,
// and two runs of alterna that share the file but not the semaphore, as in
// two containers.
#include "apoio.h"

#include "common/ipc.h"

#include <csignal>
#include <tuple>
#include <fcntl.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Tranca = Ambiente;

// Whether the run `pid` is still running; an ended one is left to espera.
bool corre_ainda(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

TEST_F(Tranca, StoppedAndContinuedRunGoesOnWaitingForTheSemaphore)
{
    const std::tuple<const char *, int, int, std::string> casos[] = {
        {PROCURA, chaves.procura, SIGSTOP, encontrado("abc", 1, 2)},
        {ALTERNA, chaves.alterna, SIGTSTP, apagado_msg},
    };
    for (const auto &[programa, chave, sinal, saida] : casos) {
        escreve_ficheiro(bd(), registo("abc", 1, 2, 1));
        // Value 0: held, as by a run in the middle of its work.
        const int id = semget(chave, 1, IPC_CREAT | 0666);
        ASSERT_NE(id, -1);
        // In a process group of its own, whose parent is in another group of
        // the session: a terminal's stop (SIGTSTP) sent to an orphaned group
        // would be discarded.
        const pid_t pid = lanca(programa, {"abc"}, {.antes_de_exec = [] { setpgid(0, 0); }});
        const auto esperam = [id] {
            for (int i = 0; i < 1000 && semctl(id, 0, GETNCNT) != 1; ++i)
                usleep(10000);
            return semctl(id, 0, GETNCNT) == 1;
        };
        EXPECT_TRUE(esperam()) << programa;
        kill(pid, sinal);
        EXPECT_TRUE(parado(pid)) << programa;
        kill(pid, SIGCONT);
        EXPECT_TRUE(esperam()) << programa << " did not wait again";
        EXPECT_TRUE(corre_ainda(pid)) << programa;
        EXPECT_EQ(le_ficheiro(dir + "/.saida/out0"), "") << programa << " went on without the lock";
        ASSERT_EQ(semctl(id, 0, SETVAL, semun{.val = 1}), 0);
        EXPECT_EQ(espera(pid), (execucao{0, saida, ""})) << programa;
        EXPECT_EQ(semctl(id, 0, GETVAL), 1) << programa;
    }
}

TEST_F(Tranca, FileUnderALeaseIsWaitedForNotTakenForMissing)
{
    // A write lease conflicts with every open, a read lease with an open for
    // writing. The holder gives its lease up when the kernel asks, as a
    // file server breaks an oplock or a delegation.
    const std::tuple<int, const char *, std::string> casos[] = {
        {F_RDLCK, ALTERNA, apagado_msg},
        {F_WRLCK, ALTERNA, recuperado_msg},
        {F_WRLCK, PROCURA, encontrado("abc", 1, 2)},
    };
    escreve_ficheiro(bd(), registo("abc", 1, 2, 1));
    sigset_t quebra;  // the signal with which the kernel asks for the lease
    sigemptyset(&quebra);
    sigaddset(&quebra, SIGIO);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &quebra, nullptr), 0);
    for (const auto &[lease, programa, saida] : casos) {
        const int fd = open(bd().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(fcntl(fd, F_SETLEASE, lease), 0) << "no lease could be taken";
        const pid_t pid = lanca(programa, {"abc"});
        const timespec limite = {20, 0};
        EXPECT_EQ(sigtimedwait(&quebra, nullptr, &limite), SIGIO) << "the lease was never asked for";
        EXPECT_EQ(fcntl(fd, F_SETLEASE, F_UNLCK), 0);
        close(fd);
        EXPECT_EQ(espera(pid), (execucao{0, saida, ""})) << lease << programa;
    }
    sigprocmask(SIG_UNBLOCK, &quebra, nullptr);
}

TEST_F(Tranca, RunsOnSetsOfTheirOwnNeverLoseAChange)
{
    // The first run stops just before its write-back; the second, whose
    // semaphore is another set (as in another container), looks for the
    // same record meanwhile. Read before the first writes, it would write
    // the same state back, and one change would be lost.
    const std::string base = registo("outro", 1, 1, 1) + registo("alvo", 100, 37, 1);
    escreve_ficheiro(bd(), base);
    const pid_t primeira = lanca(ALTERNA, {"alvo"}, {.antes_de_exec = [] {
        precarrega(ESCRITAS_VISTAS);
        setenv("ESCRITAS_ANTES", ("1 " + std::to_string(SIGSTOP)).c_str(), 1);
    }}, 0);
    ASSERT_TRUE(parado(primeira));
    const int outra_chave = chaves.propria;
    const pid_t segunda = lanca(ALTERNA, {"alvo"}, {.antes_de_exec = [outra_chave] {
        setenv("FARMACIA_CHAVE_ALTERNA", std::to_string(outra_chave).c_str(), 1);
    }}, 1);
    usleep(300000);
    EXPECT_TRUE(corre_ainda(segunda)) << "the second run did not wait for the first";
    kill(primeira, SIGCONT);
    execucao a = espera(primeira, {}, 0);
    a.erros = erros_sem_o_emulador(a.erros);
    EXPECT_EQ(a, (execucao{0, apagado_msg, ""}));
    EXPECT_EQ(espera(segunda, {}, 1), (execucao{0, recuperado_msg, ""}));
    EXPECT_EQ(le_ficheiro(bd()), base);
    EXPECT_EQ(semctl(semget(outra_chave, 0, 0), 0, GETVAL), 1);
}

}  // namespace
