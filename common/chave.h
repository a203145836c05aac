// The key of a program's semaphore set. The installed programs use their
// fixed key, which every run of a program on one machine must share. The
// builds that the tests run (compiled with FARMACIA_PARA_TESTES) take it
// from the environment variable `variavel` when it is set, so that each test
// uses sets of its own, never the machine's: the installed programs never
// read it.
#pragma once

#include <cstdlib>

inline int chave_do_semaforo(int fixa, [[maybe_unused]] const char *variavel)
{
#ifdef FARMACIA_PARA_TESTES
    if (const char *chave = std::getenv(variavel))
        return std::atoi(chave);
#endif
    return fixa;
}
