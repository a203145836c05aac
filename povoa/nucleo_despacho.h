// The generator's kernels (nucleo.h) as each instruction set compiles them,
// and the choice of the set this processor runs best.
#pragma once

#include "common/medicamento.h"
#include "povoa/gerador.h"

struct nucleo {
    // The recurrence on the stretches: steps grau .. grau + n of `janela`
    // from the grau before them; n a multiple of 3.
    void (*avanca_faixas)(passo *janela, size_t grau, size_t n);
    // Records k .. k + n of every stretch from their steps: record k of
    // stretch f at destino[f * por_faixa + k].
    void (*monta_registos)(const passo *p, size_t n, medicamento *destino, size_t por_faixa);
};

// Every instruction set's kernels, each built from nucleo.h in a file of its
// own: the compiler's default vectors (nucleo_portavel.cpp) everywhere, AVX2
// (nucleo_avx2.cpp) on x86-64.
extern const nucleo nucleo_portavel;
#ifdef POVOA_AVX2
extern const nucleo nucleo_avx2;
#endif

// Chosen at the first call: AVX2 on an x86-64 that has it, the portable
// build of the same code everywhere else.
const nucleo &nucleo_escolhido();
