// The generator's kernels (nucleo.h) as each instruction set compiles them,
// and the choice of the set this processor runs best.
#pragma once

#include "common/medicamento.h"
#include "povoa/gerador.h"

struct nucleo {
    // The recurrence on the stretches: steps grau .. grau + n of `janela`
    // from the grau before them; n a multiple of 3.
    void (*recorre)(passo *janela, size_t grau, size_t n);
    // Records k .. k + n of every stretch from their steps: record k of
    // stretch f at destino[f * por_faixa + k].
    void (*constroi)(const passo *p, size_t n, medicamento *destino, size_t por_faixa);
};

// Chosen at the first call: AVX2 on an x86-64 that has it, the portable
// build of the same code everywhere else.
const nucleo &nucleo_escolhido();
