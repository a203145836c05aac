// What the tests share: running the programs in a fresh directory inside a
// private IPC namespace, building database files byte by byte, and reading
// back the semaphore sets a run left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/medicamento.h"

struct execucao {
    int estado;  // exit status; -1 when the program was killed by a signal or timed out
    std::string saida;
    std::string erros;
};

struct opcoes {
    std::string stdout_para;               // a file to send standard output to instead of capturing it
    std::function<void()> antes_de_exec;   // run in the child just before exec
    int segundos = 60;                     // the run is killed after this long
};

// One record's 28 bytes; `nome` is written as given and padded with zeros to 16 bytes.
std::string registo(std::string_view nome, int32_t stock, int32_t vendas, int32_t estado);

std::string le_ficheiro(const std::string &caminho);
void escreve_ficheiro(const std::string &caminho, const std::string &bytes);

// A semaphore set as the kernel lists it in this IPC namespace.
struct conjunto {
    int chave, id, permissoes, semaforos, valor;
};
std::vector<conjunto> conjuntos();

// A fresh working directory, removed afterwards.
class Diretorio : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string bd() const { return dir + "/BD.bin"; }
    std::string dir;
};

// The fixture of every test that runs a program or touches semaphores: a
// fresh directory and a private IPC namespace of its own, skipped where the
// namespace is not permitted.
class Ambiente : public Diretorio {
protected:
    void SetUp() override;
    execucao corre(const std::string &programa, const std::vector<std::string> &argumentos,
                   const opcoes &o = {});
    // corre in two halves, for runs that overlap: each overlapping run needs
    // its own `vez`, which names its output files.
    pid_t lanca(const std::string &programa, const std::vector<std::string> &argumentos,
                const opcoes &o = {}, int vez = 0);
    execucao espera(pid_t pid, const opcoes &o = {}, int vez = 0);
};

// Installs, in the calling process, a filter that fails every pwrite64 and
// every write to descriptor `fd` (-1: none) with `erro`.
void falha_escritas(int erro, int fd = -1);

// Installs, in the calling process, a filter that fails every call of the
// system call `numero` with `erro`.
void falha_chamada(long numero, int erro);

// Runs `f` in a child process with its standard output and error captured;
// the child's exit status is f's result (low byte).
execucao em_filho(const std::function<int()> &f);

// The uid the tests drop to where a run must lack root's rights.
constexpr uid_t ninguem = 65534;
