// The C library's rand(), restated for povoa without its lock and many draws
// at a time.
//
// Contract: after prepara_sorteios(s), the draws that sorteia and
// sorteia_faixas give, in the order the sequence is laid out below, are the
// numbers that rand() gives after srand(s), for every seed s. Where this
// library's rand() is not the one restated here (checked at start against
// rand() itself), every draw comes from rand(), so the contract holds on any
// C library.
//
// A draw is given as a word w whose draw is w >> 1 (the low bit is not part
// of the draw).
#pragma once

#include <cstddef>
#include <cstdint>

// Seeds the generator, and the library's rand(), with `semente`, and checks
// the restatement's first draws against rand()'s.
void prepara_sorteios(unsigned semente);

// The most draws one call of sorteia gives.
constexpr size_t sorteios_por_lote = 12 * 1024;

// The next `n` <= sorteios_por_lote draws of the sequence. Valid until the
// next call of any function here.
const uint32_t *sorteia(size_t n);

// The sequence can also be drawn as `faixas` consecutive stretches side by
// side: divide_em_faixas(d) makes the next faixas * d draws the stretches
// 0 .. faixas - 1 of d draws each; each call of sorteia_faixas(n) then gives
// the next n draws of every stretch, as n steps of `faixas` words, word f of
// step t being a draw of stretch f; once all d steps are drawn,
// junta_faixas() makes the sequence go on after the last stretch.
// divide_em_faixas is false, and nothing is divided, when the draws come
// from rand(): they are then drawn in order with sorteia only.
constexpr size_t faixas = 8;
constexpr size_t passos_por_lote = 12 * 32;
using passo = uint32_t[faixas];

bool divide_em_faixas(size_t d);
const passo *sorteia_faixas(size_t n);  // n <= passos_por_lote
void junta_faixas();
