// The straightforward generator that povoa is measured and tested against:
// each record from the library's rand(), 12 draws, eleven for the letters of
// the name, in order, then one for the sales.
#pragma once

#include "common/medicamento.h"

#include <cstdlib>

// The next record of rand()'s sequence, as seeded.
inline medicamento registo_ingenuo()
{
    medicamento r{};
    for (int k = 0; k < 11; ++k)
        r.nome[k] = static_cast<char>(static_cast<int>(static_cast<double>(rand()) / 2147483648.0 * 26.0) + 97);
    r.stock = ordem_do_ficheiro(100);
    r.vendas = ordem_do_ficheiro(rand() % 200);
    r.estado = ordem_do_ficheiro(1);
    return r;
}
