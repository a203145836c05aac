// The key of a program's semaphore set: its fixed key, which every run of a
// program on one machine must share; in the builds that the tests run, the
// environment variable `variavel` when it is set (common/para_testes.h).
#pragma once

#include "common/para_testes.h"

#include <cstdlib>

inline int chave_do_semaforo(int fixa, const char *variavel)
{
    if (const char *chave = do_teste<chaves_do_teste>(variavel))
        return std::atoi(chave);
    return fixa;
}
