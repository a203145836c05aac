// What the tests share: running the programs in a fresh directory with
// semaphore keys of the test's own, building database files byte by byte,
// and reading back the semaphore sets a run left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/varrimento.h"

// A whole run, compared whole: one EXPECT_EQ says which part differs.
struct execucao {
    int estado;  // exit status; -1 when the program was killed by a signal or timed out
    std::string saida;
    std::string erros;
    int sinal = 0;  // the signal that ended the program, if one did
    bool operator==(const execucao &) const = default;
};
void PrintTo(const execucao &e, std::ostream *os);

struct opcoes {
    std::string stdout_para;               // a file to send standard output to instead of capturing it
    std::function<void()> antes_de_exec;   // run in the child just before exec
    bool sem_direitos = false;             // run with larga_direitos(), as a user without root's rights
    int segundos = 60;                     // the run is killed after this long
    std::vector<std::pair<std::string, std::string>> ambiente;  // variables set in the child
};
// A run without root's rights: held to the permission bits, as any user.
inline const opcoes sem_root{.sem_direitos = true};

// What procura prints for an available medicine, and alterna for a change.
std::string encontrado(const std::string &nome, int stock, int vendas);
inline const std::string apagado_msg = "\nmedicamento apagado\n\n", recuperado_msg = "\nficheiro recuperado\n\n";

// Whether two files' bytes are equal; when not, the first record that
// differs, rather than megabytes of bytes.
::testing::AssertionResult mesmos_registos(const std::string &a, const std::string &b);

// One record's 28 bytes; `nome` is written as given and padded with zeros to 16 bytes.
std::string registo(std::string_view nome, int32_t stock, int32_t vendas, int32_t estado);
// `n` available records named "outro", record i with stock and sales i: what
// a test puts before the records it is about.
std::string outros(int n);

std::string le_ficheiro(const std::string &caminho);
void escreve_ficheiro(const std::string &caminho, const std::string &bytes);

// The keys of the semaphore sets and shared-memory segments a test uses,
// which the test builds of procura and alterna are given: a block of its
// own, unused when the test starts and removed when it ends. `propria` ..
// `propria + chaves_proprias` are for the helpers' own tests.
constexpr int chaves_proprias = 8;
struct chaves_do_teste {
    int procura, alterna, propria;
};
extern chaves_do_teste chaves;

// The semaphore sets of this test's keys, as the kernel lists them.
struct conjunto {
    int chave, id, permissoes, semaforos, valor;
    bool operator==(const conjunto &) const = default;
};
std::vector<conjunto> conjuntos();
// Expects the set of `chave` as every completed run leaves it: one
// semaphore, permissions 0666, value 1.
void semaforo_livre(int chave);
// Makes the set of `chave` as a run holding the lock leaves it: created,
// set to 1 and taken (value 0, an operation done on it). Its id.
int conjunto_preso(int chave);

// A fresh working directory, removed afterwards.
class Diretorio : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string bd() const { return dir + "/BD.bin"; }
    std::string dir;
};

// The fixture of every test that runs a program or touches semaphores or
// shared memory: a fresh directory and keys of its own (`chaves`), so that
// the machine's sets are never used and two runs of the suite may run at
// once. Needs no privilege.
class Ambiente : public Diretorio {
protected:
    void SetUp() override;
    void TearDown() override;
    execucao corre(const std::string &programa, const std::vector<std::string> &argumentos, const opcoes &o = {});
    // corre in two halves, for runs that overlap: each overlapping run needs
    // its own `vez`, which names its output files.
    pid_t lanca(const std::string &programa, const std::vector<std::string> &argumentos,
                const opcoes &o = {}, int vez = 0);
    execucao espera(pid_t pid, const opcoes &o = {}, int vez = 0);
};

// For the installed programs, with their own keys 2345 and 4567: a private
// IPC namespace, made directly by root, or by another user inside a user
// namespace of its own, which maps only its own uid and gid (the programs,
// which lose every capability when they are executed, gain nothing by it).
// Skipped, saying why, only where neither is permitted.
class ChavesReais : public Ambiente {
protected:
    void SetUp() override;
};

// Makes the calling process the owner of a new user namespace in which its
// own uid and gid, and nothing else, are mapped to themselves. The error
// number, or 0.
int entra_em_namespace_de_utilizador();

// A tmpfs of `tamanho` bytes (mount's size=, "1m" say), attached nowhere:
// the descriptor of its root, inherited by the programs a test runs, which
// reach it as raiz_de(fd). It goes when the last descriptor closes. -1 with
// errno set where the calling process may not mount (EPERM).
int tmpfs_solto(const char *tamanho);
// The same made the older way, where the kernel or an emulator has no
// fsopen: mounted in a private mount namespace, opened, and detached.
int tmpfs_montado_e_solto(const char *tamanho);
inline std::string raiz_de(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Waits at most `segundos` for the child `pid` to end: true, with its wait
// status in `estado`; false when it had to be killed.
bool termina_em(pid_t pid, int segundos, int &estado);

// Runs `f` in a child process with its standard output and error captured;
// the child's exit status is f's result (low byte).
execucao em_filho(const std::function<int()> &f);

// Drops, in the calling process, every capability for good, so that from
// here on, and across exec, it is held to the permission bits like any user,
// even with uid 0: what the tests make unusable for a run has bits that deny
// its own owner (a file of mode 0444 or 0, a semaphore set of mode 0), which
// holds for root and for an ordinary user alike. Ends the process with 100
// when it cannot.
void larga_direitos();

// In the child of a run: preloads `biblioteca`, one of the tests' own.
void precarrega(const char *biblioteca);
// What a run with ESCRITAS_VISTAS preloaded printed on standard error, less
// the line where an emulator's own loader, reading LD_PRELOAD too, says it
// cannot load a library of the emulated processor.
std::string erros_sem_o_emulador(const std::string &erros);

// In the child of a run: makes descriptor `fd` the writing end of a pipe
// whose reading end is closed, as `| head -n 1` leaves it once head is done.
void tubo_fechado(int fd);

// Waits until a process waits for a lock (fcntl's or flock's) on the file
// `caminho`, as /proc/locks shows it, at most 10 s; true when one does.
bool espera_tranca(const std::string &caminho);

// Waits at most 10 s for the process `pid` to be stopped; true when it is.
bool parado(pid_t pid);
