// The records that povoa appends, built from the generator's draws.
#pragma once

#include "common/medicamento.h"

#include <cstddef>
#include <cstdint>

// What a record is made of: 12 draws, the 11 letters of its name in order,
// then its sales; the name's other 5 bytes are zeros.
constexpr size_t letras_por_nome = 11;
constexpr size_t sorteios_por_registo = letras_por_nome + 1;
constexpr size_t bytes_do_nome = sizeof(medicamento::nome);
constexpr int32_t stock_novo = 100;

// Static, so that each file has its own copy, compiled for its own
// instruction set: the AVX2 kernel must never lend its copy to code that
// runs on a processor without AVX2.
//
// A letter from a draw r = w >> 1 in 0 .. 2^31 - 1: (int)((double)r / 2^31 *
// 26.0) + 'a'. Both steps of that are exact in double precision (a division
// by a power of two, and a product below 2^36), so it is floor(26 r / 2^31):
// the high half of the 64-bit product of 26 and w without its low bit.
static inline unsigned char letra(uint32_t w)
{
    return static_cast<unsigned char>('a' + ((uint64_t{w & ~1u} * 26) >> 32));
}

// The sales from a draw's word w, or from a vector of them: the draw modulo 200.
template <typename palavra>
static inline palavra vendas(palavra w)
{
    return (w >> 1) % 200;
}

// Builds n records from the next 12 n draws: record i's name is the letters
// of draws 12 i to 12 i + 10, 'a' + floor(26 r / 2^31) for a draw r, with 5
// zero bytes after them; its sales are draw 12 i + 11 modulo 200; its stock
// is 100 and its state available.
void constroi(medicamento *destino, size_t n);
