// The semaphore helpers of common/ipc.h.
#include "common/ipc.h"

#include <cerrno>
#include <cstdio>
#include <sys/ipc.h>

struct sembuf _P_semaforo = {0, -1, SEM_UNDO};
struct sembuf _V_semaforo = {0, +1, SEM_UNDO};

static constexpr int permissoes = 0666;

int cria_semaforo(int chave, int valor)
{
    const int id = semget(chave, 1, IPC_CREAT | IPC_EXCL | permissoes);
    if (id != -1) {
        // Until this SETVAL the set holds the system's 0, so a run that opens
        // it meanwhile waits in P rather than entering unlocked.
        if (semctl(id, 0, SETVAL, semun{.val = valor}) == -1) {
            perror("Erro no cria_semaforo");
            return -1;
        }
        return id;
    }
    const int existente = semget(chave, 1, permissoes);
    if (existente == -1) {
        perror("Erro no get_semaforo");
        return -1;
    }
    return existente;
}

// One semop on the set; on failure the extra line on standard output, then
// the perror report under `rotulo`. A wait interrupted by a signal that
// did not end the program (a handled one, or a stop and continue, after
// which the kernel never restarts semop) goes on waiting: only a real
// failure of the call is one.
static int opera(int id, struct sembuf *operacao, const char *rotulo)
{
    int resultado;
    while ((resultado = semop(id, operacao, 1)) == -1 && errno == EINTR) {
    }
    if (resultado == -1) {
        const int erro = errno;
        printf("Erro no %s(%d) errno=%d\n", rotulo, id, erro);
        errno = erro;
        perror(rotulo);
        errno = erro;
        return -1;
    }
    return resultado;
}

int P(int id)
{
    return opera(id, &_P_semaforo, "P");
}

int V(int id)
{
    return opera(id, &_V_semaforo, "V");
}

int remove_semaforo(int id)
{
    const int resultado = semctl(id, 0, IPC_RMID);
    if (resultado == -1)
        perror("Erro no remove_semaforo");
    return resultado;
}
