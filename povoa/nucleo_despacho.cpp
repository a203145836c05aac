#include "povoa/nucleo_despacho.h"

#include "common/para_testes.h"

static const nucleo *escolhe()
{
#ifdef POVOA_AVX2
    if (do_teste<povoa_do_teste>("POVOA_SEM_AVX2"))
        return &nucleo_portavel;
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
