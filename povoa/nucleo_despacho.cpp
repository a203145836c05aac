#include "povoa/nucleo_despacho.h"

#include <cstdlib>

static const nucleo *escolhe()
{
#ifdef POVOA_AVX2
#ifdef POVOA_PARA_TESTES
    // Test builds only: the portable code on a processor with AVX2 too.
    if (getenv("POVOA_SEM_AVX2"))
        return &nucleo_portavel;
#endif
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return &nucleo_avx2;
#endif
    return &nucleo_portavel;
}

const nucleo &nucleo_escolhido()
{
    static const nucleo *escolhido = nullptr;
    if (escolhido == nullptr)
        escolhido = escolhe();
    return *escolhido;
}
