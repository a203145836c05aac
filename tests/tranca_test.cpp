// The programs' waits where users run them: a run stopped and continued
// while it waits for its semaphore, a file under another process's lease,
// and two runs of alterna that share the file but not the semaphore, as in
// two containers.
#include "apoio.h"

#include "common/ipc.h"

#include <algorithm>
#include <csignal>
#include <cstddef>
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
        const int id = conjunto_preso(chave);
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

TEST_F(Tranca, LeaseTakenBackAtOnceKeepsNoRunWaiting)
{
    // The holder, a process of its own, gives its write lease up on each
    // break and takes a new one at once, as often as it may. A run that
    // let go of its place between two tries of its open would never open.
    escreve_ficheiro(bd(), registo("abc", 1, 2, 1));
    int pronto[2];
    ASSERT_EQ(pipe(pronto), 0);
    const pid_t dono = fork();
    if (dono == 0) {
        sigset_t sinais;
        sigemptyset(&sinais);
        sigaddset(&sinais, SIGIO);
        sigaddset(&sinais, SIGTERM);
        sigprocmask(SIG_BLOCK, &sinais, nullptr);
        const int fd = open(bd().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd == -1 || fcntl(fd, F_SETLEASE, F_WRLCK) == -1 || write(pronto[1], "x", 1) != 1)
            _exit(100);
        for (int quebras = 0;;) {
            if (sigwaitinfo(&sinais, nullptr) == SIGTERM)
                _exit(std::min(quebras, 99));
            ++quebras;
            fcntl(fd, F_SETLEASE, F_UNLCK);
            const timespec nada = {0, 0};
            while (fcntl(fd, F_SETLEASE, F_WRLCK) == -1)
                if (sigtimedwait(&sinais, nullptr, &nada) == SIGTERM)
                    _exit(std::min(quebras, 99));
        }
    }
    char c;
    ASSERT_EQ(read(pronto[0], &c, 1), 1) << "no lease could be taken";
    close(pronto[0]);
    close(pronto[1]);
    const opcoes breve{.segundos = 20};
    EXPECT_EQ(corre(PROCURA, {"abc"}, breve), (execucao{0, encontrado("abc", 1, 2), ""}));
    EXPECT_EQ(corre(ALTERNA, {"abc"}, breve), (execucao{0, apagado_msg, ""}));
    kill(dono, SIGTERM);
    int estado = 0;
    ASSERT_EQ(waitpid(dono, &estado, 0), dono);
    EXPECT_TRUE(WIFEXITED(estado) && WEXITSTATUS(estado) >= 2) << "the lease was not broken for each run";
}

TEST_F(Tranca, FileReplacedWhileARunWaitsForItsLockTakesTheChange)
{
    // A restore from a copy, or an editor's save, while alterna waits for
    // the lock that another run holds: the change goes to the file named
    // BD.bin, never to the one the name no longer leads to.
    const std::string base = registo("outro", 1, 1, 1) + registo("alvo", 100, 37, 1);
    std::string apagado_bd = base;
    apagado_bd[tamanho_registo + offsetof(medicamento, estado)] = 0;
    escreve_ficheiro(bd(), base);
    const int fd = open(bd().c_str(), O_RDWR | O_CLOEXEC);
    struct flock tranca {};
    tranca.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &tranca), 0);
    const pid_t pid = lanca(ALTERNA, {"alvo"});
    ASSERT_TRUE(espera_tranca(bd())) << "the run never waited for the lock";
    escreve_ficheiro(dir + "/copia", base);
    ASSERT_EQ(rename((dir + "/copia").c_str(), bd().c_str()), 0);
    close(fd);
    EXPECT_EQ(espera(pid), (execucao{0, apagado_msg, ""}));
    EXPECT_EQ(le_ficheiro(bd()), apagado_bd);
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
