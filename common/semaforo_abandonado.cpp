#include "common/semaforo_abandonado.h"

#include "common/ipc.h"

#include <cstdio>
#include <ctime>
#include <sys/sem.h>

void inicia_se_abandonado(int id, int valor)
{
    // sem_ctime counts whole seconds: 2 of them are more than one.
    constexpr time_t idade = 2;
    constexpr timespec pausa = {0, 50'000'000};
    // Bounded, whatever the clock does: (idade + 1) s of pauses.
    for (int vez = 0; vez < (idade + 1) * 20; ++vez) {
        struct semid_ds estado {};
        if (semctl(id, 0, IPC_STAT, semun{.buf = &estado}) == -1 || estado.sem_otime != 0 ||
            semctl(id, 0, GETVAL) != 0)
            return;
        if (time(nullptr) - estado.sem_ctime >= idade) {
            if (semctl(id, 0, SETVAL, semun{.val = valor}) == -1)
                perror("Erro no cria_semaforo");
            return;
        }
        nanosleep(&pausa, nullptr);
    }
}
