// The generator's two kernels, written once in GCC's vector extensions and
// compiled by one file per instruction set (nucleo_portavel.cpp with the
// compiler's defaults: SSE2 on x86-64, Advanced SIMD on arm64, plain code
// where there are no vectors; nucleo_avx2.cpp with AVX2), which defines
// LARGURA, the bytes of a vector, before including this. Everything here has
// internal linkage, so the copies that different instruction sets make of
// it never meet.
//
// - avanca_faixas: the recurrence r[t] = r[t - 31] + r[t - 3] run on the
//   stretches side by side, step t of all of them in one passo.
// - monta_registos: records from the steps, the 8 records of each 12 steps
//   (one per stretch) together, in vector registers.
//
// Both give the same bytes for every LARGURA and either byte order.
#pragma once

// The functions below, and registos.h's `vendas` made for vectors, take and
// return vectors; where the processor has no vector registers (i386 without
// SSE) GCC warns that such a function's calling convention differs, which
// matters to no one: none leaves this file's copy.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "povoa/gerador.h"
#include "povoa/nucleo_despacho.h"
#include "povoa/registos.h"

#include <bit>
#include <cstring>
#include <type_traits>

#ifndef LARGURA
#error "LARGURA: the bytes of a vector, 16 or 32"
#endif

namespace {

constexpr size_t largura = LARGURA;
constexpr size_t vias = largura / sizeof(uint32_t);  // stretches in one vector
constexpr size_t grupos = faixas / vias;             // vectors in one step
static_assert(vias == 4 || vias == 8);
typedef uint32_t vetor __attribute__((vector_size(largura), may_alias));

vetor carrega(const uint32_t *p)
{
    vetor v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Three steps at a time, each from the one three back kept in a register:
// through memory, the store of one step and the load of the next would wait
// on each other. One vector of stretches at a time, so that the three fit
// in registers.
void avanca_faixas(passo *janela, size_t grau, size_t n)
{
    for (size_t g = 0; g < grupos; ++g) {
        const auto em = [&](size_t t) -> uint32_t * { return janela[t] + g * vias; };
        vetor a = carrega(em(grau - 3)), b = carrega(em(grau - 2)), c = carrega(em(grau - 1));
        for (size_t t = grau; t < grau + n; t += 3) {
            a += carrega(em(t - grau));
            b += carrega(em(t + 1 - grau));
            c += carrega(em(t + 2 - grau));
            std::memcpy(em(t), &a, sizeof a);
            std::memcpy(em(t + 1), &b, sizeof b);
            std::memcpy(em(t + 2), &c, sizeof c);
        }
    }
}

typedef int32_t mascara __attribute__((vector_size(largura)));

// The lanes of a and b picked by the indices (0 .. vias - 1 from a, then
// b's): Clang and GCC 12 on have __builtin_shufflevector, every GCC
// __builtin_shuffle with the indices in a vector of a's own type (so that in
// a template the indices are checked only for the width it is made for);
// both give one shuffle.
#if __has_builtin(__builtin_shufflevector)
#define baralha(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define baralha(a, b, ...) __builtin_shuffle(a, b, std::remove_cv_t<decltype(a)>{__VA_ARGS__})
#endif

// The letter of each word w less 'a', letra(w) - 'a' = floor(26 r / 2^31) for its draw
// r = w >> 1. With r = 8 u + e, that is floor((13 u + floor(13 e / 8)) / 2^27)
// (13 u < 13 * 2^28 fits in 32 bits): floor(13 u / 2^27), unless the low 27
// bits of 13 u are within 11 of a carry, which `perto` gathers (about one
// letter in twelve million); those names are made again with letra.
vetor letras(vetor w, mascara &perto)
{
    constexpr uint32_t baixos = (uint32_t{1} << 27) - 1;
    const vetor t = (w >> 4) * 13;
    perto |= (t & baixos) > baixos - 11;
    return t >> 27;
}

// Four letters in a word, in the order of their bytes in memory.
vetor junta(vetor l0, vetor l1, vetor l2, vetor l3)
{
    if constexpr (std::endian::native == std::endian::little)
        return l0 | l1 << 8 | l2 << 16 | l3 << 24;
    else
        return l0 << 24 | l1 << 16 | l2 << 8 | l3;
}

// A number as the file holds it, little-endian.
vetor do_ficheiro(vetor v)
{
    if constexpr (std::endian::native == std::endian::little)
        return v;
    else
        return v << 24 | (v & 0xff00) << 8 | (v >> 8 & 0xff00) | v >> 24;
}

// Stock and sales, side by side as the record holds them.
constexpr size_t bytes_dos_numeros = 2 * sizeof(int32_t);

// Each vector width's way of turning the words of 4 or 8 stretches' records
// into those records: p0, p1 and p2 are the names' three words, then a zero
// word; cem and v their stock and sales. Stretch f's record goes to
// d[f * por_faixa]. Templates on the vector type, so that only the one for
// this LARGURA is ever compiled.
template <typename V>
void espalha_em_4(V p0, V p1, V p2, V cem, V v, medicamento *d, size_t por_faixa)
{
    const V zero = {};
    const V a0 = baralha(p0, p1, 0, 4, 1, 5), a1 = baralha(p0, p1, 2, 6, 3, 7);
    const V b0 = baralha(p2, zero, 0, 4, 1, 5), b1 = baralha(p2, zero, 2, 6, 3, 7);
    const V nomes[4] = {
        baralha(a0, b0, 0, 1, 4, 5), baralha(a0, b0, 2, 3, 6, 7),
        baralha(a1, b1, 0, 1, 4, 5), baralha(a1, b1, 2, 3, 6, 7),
    };
    for (size_t f = 0; f < 4; ++f)
        std::memcpy(d[f * por_faixa].nome, &nomes[f], bytes_do_nome);
    const V numeros[2] = {baralha(cem, v, 0, 4, 1, 5), baralha(cem, v, 2, 6, 3, 7)};
    for (size_t f = 0; f < 4; ++f)
        std::memcpy(&d[f * por_faixa].stock, reinterpret_cast<const char *>(&numeros[f / 2]) + bytes_dos_numeros * (f % 2),
                    bytes_dos_numeros);
}

// With 8 lanes the shuffles stay within each half of 4 (which AVX2 does in
// one instruction), so a vector holds the names of stretches f and f + 4.
template <typename V>
void espalha_em_8(V p0, V p1, V p2, V cem, V v, medicamento *d, size_t por_faixa)
{
    const V zero = {};
    const V a0 = baralha(p0, p1, 0, 8, 1, 9, 4, 12, 5, 13), a1 = baralha(p0, p1, 2, 10, 3, 11, 6, 14, 7, 15);
    const V b0 = baralha(p2, zero, 0, 8, 1, 9, 4, 12, 5, 13), b1 = baralha(p2, zero, 2, 10, 3, 11, 6, 14, 7, 15);
    // stretches 0 and 4, 1 and 5, 2 and 6, 3 and 7
    const V nomes[4] = {
        baralha(a0, b0, 0, 1, 8, 9, 4, 5, 12, 13),
        baralha(a0, b0, 2, 3, 10, 11, 6, 7, 14, 15),
        baralha(a1, b1, 0, 1, 8, 9, 4, 5, 12, 13),
        baralha(a1, b1, 2, 3, 10, 11, 6, 7, 14, 15),
    };
    for (size_t f = 0; f < 4; ++f) {
        std::memcpy(d[f * por_faixa].nome, &nomes[f], bytes_do_nome);
        std::memcpy(d[(f + 4) * por_faixa].nome, reinterpret_cast<const char *>(&nomes[f]) + bytes_do_nome, bytes_do_nome);
    }
    // stretches 0, 1 and 4, 5; 2, 3 and 6, 7
    const V numeros[2] = {baralha(cem, v, 0, 8, 1, 9, 4, 12, 5, 13), baralha(cem, v, 2, 10, 3, 11, 6, 14, 7, 15)};
    for (size_t f = 0; f < 8; ++f)
        std::memcpy(&d[f * por_faixa].stock,
                    reinterpret_cast<const char *>(&numeros[f % 4 / 2]) + bytes_dos_numeros * (f % 2) +
                        bytes_do_nome * (f / 4),
                    bytes_dos_numeros);
}

// Whether any lane of `perto` is set.
bool algum(mascara perto)
{
    uint64_t palavras[sizeof perto / sizeof(uint64_t)];
    std::memcpy(palavras, &perto, sizeof palavras);
    uint64_t junto = 0;
    for (const uint64_t palavra : palavras)
        junto |= palavra;
    return junto != 0;
}

// Records 0 .. n of the vias stretches of vector g (stretches g * vias on),
// from their steps p: the name of stretch f is its three words of letters,
// then a zero word.
void monta_grupo(const passo *p, size_t g, size_t n, medicamento *destino, size_t por_faixa)
{
    const vetor zero = {}, cem = do_ficheiro(zero + stock_novo), letra_a = zero + 'a';
    // 'a' is added to the four letters of a word at once: a letter less 'a'
    // is at most 25, so no byte carries into the next.
    const vetor quatro_as = junta(letra_a, letra_a, letra_a, letra_a), tres_as = junta(letra_a, letra_a, letra_a, zero);
    constexpr int32_t disponivel_no_ficheiro = ordem_do_ficheiro(disponivel);
    static_assert(letras_por_nome == 11 && bytes_do_nome == 16, "three words of letters and a zero word");
    for (size_t k = 0; k < n; ++k, p += sorteios_por_registo) {
        vetor l[letras_por_nome];
        mascara perto = {};
        for (size_t t = 0; t < letras_por_nome; ++t)
            l[t] = letras(carrega(p[t] + g * vias), perto);
        const vetor p0 = junta(l[0], l[1], l[2], l[3]) + quatro_as, p1 = junta(l[4], l[5], l[6], l[7]) + quatro_as,
                    p2 = junta(l[8], l[9], l[10], zero) + tres_as;
        const vetor v = do_ficheiro(vendas(carrega(p[letras_por_nome] + g * vias)));
        medicamento *d = destino + g * vias * por_faixa + k;
        if constexpr (vias == 4)
            espalha_em_4(p0, p1, p2, cem, v, d, por_faixa);
        else
            espalha_em_8(p0, p1, p2, cem, v, d, por_faixa);
        for (size_t f = 0; f < vias; ++f)
            d[f * por_faixa].estado = disponivel_no_ficheiro;
        if (algum(perto)) [[unlikely]]
            for (size_t f = 0; f < vias; ++f)
                for (size_t t = 0; t < letras_por_nome; ++t)
                    d[f * por_faixa].nome[t] = static_cast<char>(letra(p[t][g * vias + f]));
    }
}

void monta_registos(const passo *p, size_t n, medicamento *destino, size_t por_faixa)
{
    for (size_t g = 0; g < grupos; ++g)
        monta_grupo(p, g, n, destino, por_faixa);
}

}  // namespace

#undef baralha
