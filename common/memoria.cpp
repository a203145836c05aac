// The shared-memory helpers of common/ipc.h, which no program calls.
#include "common/ipc.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <cstdio>

static constexpr int permissoes = 0666;

void *shmalloc(int chave, int tamanho, int *id)
{
    *id = shmget(chave, static_cast<size_t>(tamanho), IPC_CREAT | permissoes);
    if (*id == -1) {
        perror("shmget");
        return reinterpret_cast<void *>(-1);
    }
    void *endereco = shmat(*id, nullptr, permissoes);
    if (endereco == reinterpret_cast<void *>(-1))
        perror("shmat");
    return endereco;
}

int shmemcreat(int chave, int tamanho)
{
    const int id = shmget(chave, static_cast<size_t>(tamanho), IPC_CREAT | permissoes);
    if (id == -1)
        perror("shmemget");
    return id;
}

int shmemget(int chave, int tamanho)
{
    const int id = shmget(chave, static_cast<size_t>(tamanho), permissoes);
    if (id == -1)
        perror("shmemget");
    return id;
}

void *shmemat(int id)
{
    void *endereco = shmat(id, nullptr, permissoes);
    if (endereco == reinterpret_cast<void *>(-1))
        perror("shmat");
    return endereco;
}

int shmrm(int id)
{
    const int resultado = shmctl(id, IPC_RMID, nullptr);
    if (resultado == -1)
        perror("shmremove");
    return resultado;
}

int shmemdet(const void *endereco)
{
    const int resultado = shmdt(endereco);
    if (resultado == -1)
        perror("shmdet");
    return resultado;
}
