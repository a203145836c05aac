// The records that povoa appends, built from the generator's draws.
#pragma once

#include "common/medicamento.h"

#include <cstddef>

// Builds n records from the next 12 n draws: record i's name is the letters
// of draws 12 i to 12 i + 10, 'a' + floor(26 r / 2^31) for a draw r, with 5
// zero bytes after them; its sales are draw 12 i + 11 modulo 200; its stock
// is 100 and its state available.
void constroi(medicamento *destino, size_t n);
