// Records from the generator's draws, built a block at a time: most of a
// block from faixas stretches of the sequence side by side, in vector
// registers, the few records that do not divide evenly in order after them.
#include "registos.h"

#include "gerador.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <immintrin.h>

static constexpr size_t sorteios_por_registo = 12;  // 11 letters in order, then the sales
static constexpr size_t letras_por_nome = 11;

// A letter from a draw r = w >> 1 in 0 .. 2^31 - 1: (int)((double)r / 2^31 *
// 26.0) + 'a'. Both steps of that are exact in double precision (a division
// by a power of two, and a product below 2^36), so it is floor(26 r / 2^31):
// the high half of the 64-bit product of 26 and w without its low bit.
static unsigned char letra(uint32_t w)
{
    return static_cast<unsigned char>('a' + ((uint64_t{w & ~1u} * 26) >> 32));
}

static int32_t vendas(uint32_t w)
{
    return static_cast<int32_t>((w >> 1) % 200);
}

// Builds n records from the next 12 n draws of the sequence, in order.
static void constroi_em_sequencia(medicamento *destino, size_t n)
{
    for (size_t feitos = 0; feitos < n;) {
        const size_t lote = std::min(n - feitos, sorteios_por_lote / sorteios_por_registo);
        const uint32_t *w = sorteia(lote * sorteios_por_registo);
        for (size_t k = 0; k < lote; ++k, w += sorteios_por_registo) {
            medicamento &r = destino[feitos + k];
            for (size_t i = 0; i < letras_por_nome; ++i)
                r.nome[i] = static_cast<char>(letra(w[i]));
            std::memset(r.nome + letras_por_nome, 0, sizeof r.nome - letras_por_nome);
            r.stock = 100;
            r.vendas = vendas(w[letras_por_nome]);
            r.estado = disponivel;
        }
        feitos += lote;
    }
}

// Record k of every stretch is made of 12 steps: a letter of each stretch
// from each of the first 11 steps, and the sales from the last. The builders
// below make the 8 records of each 12 steps together, in vector registers:
//
// - Letters, in 16-bit lanes. With s = w without its low bit, split into
//   halves h and b, letra(w) is the high half of 26 h plus a carry into it
//   from 26 b / 2^16, at most 25; that carry can come only where the low
//   half of 26 h is above 65510. The names of 12 steps with such a draw
//   (about one in thirty) are made again one letter at a time.
// - Names: letters of two steps side by side in each 16-bit lane, then
//   pairs of lanes, fours and eights interleaved, so that each stretch's 11
//   letters, with the terminator's zeros, end up in one 16-byte name.
// - Sales: (w >> 1) - 200 q, with q = (w >> 4) * 171798692 >> 32, which is
//   (w >> 1) / 200 = (w >> 4) / 25 for every draw: 171798692 is 2^32 / 25
//   rounded up, 4 / 2^32 too much, which for w >> 4 below 2^28 adds less than
//   1/400 to a quotient whose fraction is at most 24/25.
//
// SSE2, which every x86-64 has, holds 8 lanes of 16 bits or 4 of 32; AVX2,
// where the processor has it, twice that, with two stretches' names side by
// side in the halves of a register.
static_assert(faixas == 8 && letras_por_nome == 11);

static void refaz_nomes(const passo *p, medicamento *destino, size_t por_faixa)
{
    for (size_t f = 0; f < faixas; ++f)
        for (size_t i = 0; i < letras_por_nome; ++i)
            destino[f * por_faixa].nome[i] = static_cast<char>(letra(p[i][f]));
}

static constexpr int32_t divide_por_200 = 171798692;
static const short limite_do_transporte = static_cast<short>(65510 ^ 0x8000);

// Stock, sales and state of 4 stretches' records, the sales of `v`.
__attribute__((always_inline)) static inline void poe_vendas(__m128i v, medicamento *destino, size_t por_faixa)
{
    const __m128i cem = _mm_set1_epi32(100);
    const __m128i d01 = _mm_unpacklo_epi32(cem, v), d23 = _mm_unpackhi_epi32(cem, v);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(&destino[0].stock), d01);
    _mm_storeh_pi(reinterpret_cast<__m64 *>(&destino[por_faixa].stock), _mm_castsi128_ps(d01));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(&destino[2 * por_faixa].stock), d23);
    _mm_storeh_pi(reinterpret_cast<__m64 *>(&destino[3 * por_faixa].stock), _mm_castsi128_ps(d23));
    for (size_t f = 0; f < 4; ++f)
        destino[f * por_faixa].estado = disponivel;
}

// 8 letters of one step, as 16-bit lanes; `perto` gathers the lanes that may
// need a carry.
__attribute__((always_inline)) static inline __m128i letras_de(const uint32_t *w, __m128i &perto)
{
    __m128i vinte_e_seis = _mm_set1_epi16(26);
    __asm__("" : "+x"(vinte_e_seis));  // one multiplication, not the compiler's shifts and adds
    const __m128i *q = reinterpret_cast<const __m128i *>(w);
    const __m128i h = _mm_packs_epi32(_mm_srai_epi32(_mm_load_si128(q), 16), _mm_srai_epi32(_mm_load_si128(q + 1), 16));
    const __m128i baixo = _mm_xor_si128(_mm_mullo_epi16(h, vinte_e_seis), _mm_set1_epi16(-0x8000));
    perto = _mm_or_si128(perto, _mm_cmpgt_epi16(baixo, _mm_set1_epi16(limite_do_transporte)));
    return _mm_add_epi16(_mm_mulhi_epu16(h, vinte_e_seis), _mm_set1_epi16('a'));
}

// Letters of steps t (low byte) and t + 1 (high byte) of the 8 stretches.
__attribute__((always_inline)) static inline __m128i par(const passo *t, __m128i &perto)
{
    const __m128i a = letras_de(t[0], perto);
    return _mm_or_si128(a, _mm_slli_epi16(letras_de(t[1], perto), 8));
}

// The sales of 4 draws.
__attribute__((always_inline)) static inline __m128i vendas_de(const uint32_t *w)
{
    const __m128i palavra = _mm_load_si128(reinterpret_cast<const __m128i *>(w));
    const __m128i r = _mm_srli_epi32(palavra, 1), n = _mm_srli_epi32(palavra, 4);
    const __m128i fator = _mm_set1_epi32(divide_por_200);
    const __m128i pares = _mm_srli_epi64(_mm_mul_epu32(n, fator), 32);
    const __m128i impares = _mm_mul_epu32(_mm_srli_epi64(n, 32), fator);
    const __m128i q = _mm_or_si128(pares, _mm_and_si128(impares, _mm_set_epi32(-1, 0, -1, 0)));
    const __m128i duzentos_q = _mm_add_epi32(_mm_add_epi32(_mm_slli_epi32(q, 7), _mm_slli_epi32(q, 6)), _mm_slli_epi32(q, 3));
    return _mm_sub_epi32(r, duzentos_q);
}

// Builds records k .. k + n of every stretch from their steps p.
static void constroi_faixas_sse2(const passo *p, size_t n, medicamento *destino, size_t por_faixa)
{
    const __m128i zero = _mm_setzero_si128();
    for (size_t k = 0; k < n; ++k, p += sorteios_por_registo) {
        medicamento *d = destino + k;
        __m128i perto = zero;
        const __m128i a0 = par(p, perto), a1 = par(p + 2, perto), a2 = par(p + 4, perto),
                      a3 = par(p + 6, perto), a4 = par(p + 8, perto);
        const __m128i a5 = letras_de(p[10], perto);
        const __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1),
                      b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3),
                      b4 = _mm_unpacklo_epi16(a4, a5), b5 = _mm_unpackhi_epi16(a4, a5);
        const __m128i c0 = _mm_unpacklo_epi32(b0, b2), c1 = _mm_unpackhi_epi32(b0, b2),
                      c2 = _mm_unpacklo_epi32(b1, b3), c3 = _mm_unpackhi_epi32(b1, b3),
                      e0 = _mm_unpacklo_epi32(b4, zero), e1 = _mm_unpackhi_epi32(b4, zero),
                      e2 = _mm_unpacklo_epi32(b5, zero), e3 = _mm_unpackhi_epi32(b5, zero);
        const __m128i nomes[faixas] = {
            _mm_unpacklo_epi64(c0, e0), _mm_unpackhi_epi64(c0, e0), _mm_unpacklo_epi64(c1, e1),
            _mm_unpackhi_epi64(c1, e1), _mm_unpacklo_epi64(c2, e2), _mm_unpackhi_epi64(c2, e2),
            _mm_unpacklo_epi64(c3, e3), _mm_unpackhi_epi64(c3, e3),
        };
        for (size_t f = 0; f < faixas; ++f)
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d[f * por_faixa].nome), nomes[f]);
        if (_mm_movemask_epi8(perto)) [[unlikely]]
            refaz_nomes(p, d, por_faixa);
        poe_vendas(vendas_de(p[letras_por_nome]), d, por_faixa);
        poe_vendas(vendas_de(p[letras_por_nome] + 4), d + 4 * por_faixa, por_faixa);
    }
}

// AVX2: 16 lanes of 16 bits, the letters of steps t and t + 1 of stretches
// 0-3 in the low half, of stretches 4-7 in the high, as the packs leave them.
__attribute__((target("avx2"), always_inline)) static inline __m256i letras_avx2(const uint32_t *w, __m256i &perto)
{
    __m256i vinte_e_seis = _mm256_set1_epi16(26);
    __asm__("" : "+x"(vinte_e_seis));  // one multiplication, not the compiler's shifts and adds
    const __m256i *q = reinterpret_cast<const __m256i *>(w);
    const __m256i h = _mm256_packs_epi32(_mm256_srai_epi32(_mm256_load_si256(q), 16),
                                         _mm256_srai_epi32(_mm256_load_si256(q + 1), 16));
    const __m256i baixo = _mm256_xor_si256(_mm256_mullo_epi16(h, vinte_e_seis), _mm256_set1_epi16(-0x8000));
    perto = _mm256_or_si256(perto, _mm256_cmpgt_epi16(baixo, _mm256_set1_epi16(limite_do_transporte)));
    return _mm256_add_epi16(_mm256_mulhi_epu16(h, vinte_e_seis), _mm256_set1_epi16('a'));
}

__attribute__((target("avx2"), always_inline)) static inline __m256i vendas_avx2(const uint32_t *w)
{
    const __m256i palavra = _mm256_load_si256(reinterpret_cast<const __m256i *>(w));
    const __m256i r = _mm256_srli_epi32(palavra, 1), n = _mm256_srli_epi32(palavra, 4);
    const __m256i fator = _mm256_set1_epi32(divide_por_200);
    const __m256i pares = _mm256_srli_epi64(_mm256_mul_epu32(n, fator), 32);
    const __m256i impares = _mm256_mul_epu32(_mm256_srli_epi64(n, 32), fator);
    const __m256i q = _mm256_blend_epi32(pares, impares, 0xaa);
    return _mm256_sub_epi32(r, _mm256_mullo_epi32(q, _mm256_set1_epi32(200)));
}

// Letters of steps t and t + 1 of stretches 0-3 in the low 4 lanes, of
// stretches 4-7 in the lanes 8-11, step t in the low byte, t + 1 in the high.
__attribute__((target("avx2"), always_inline)) static inline __m256i par_avx2(const uint32_t *w, __m256i &perto)
{
    const __m256i a = letras_avx2(w, perto);
    return _mm256_or_si256(a, _mm256_slli_epi16(_mm256_srli_si256(a, 8), 8));
}

// The names of stretch f (low half) and f + 4 (high half).
__attribute__((target("avx2"), always_inline)) static inline void poe_nomes_avx2(__m256i dois, medicamento *d, size_t por_faixa)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d->nome), _mm256_castsi256_si128(dois));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d[4 * por_faixa].nome), _mm256_extracti128_si256(dois, 1));
}

__attribute__((target("avx2")))
static void constroi_faixas_avx2(const passo *p, size_t n, medicamento *destino, size_t por_faixa)
{
    const __m256i zero = _mm256_setzero_si256();
    for (size_t k = 0; k < n; ++k, p += sorteios_por_registo) {
        medicamento *d = destino + k;
        __m256i perto = zero;
        const __m256i a0 = par_avx2(p[0], perto), a1 = par_avx2(p[2], perto), a2 = par_avx2(p[4], perto),
                      a3 = par_avx2(p[6], perto), a4 = par_avx2(p[8], perto);
        const __m256i a5 = letras_avx2(p[10], perto);  // step 10, and step 11's letters, not wanted, above
        const __m256i b0 = _mm256_unpacklo_epi16(a0, a1), b1 = _mm256_unpacklo_epi16(a2, a3),
                      b2 = _mm256_unpacklo_epi16(a4, a5);
        const __m256i c0 = _mm256_unpacklo_epi32(b0, b1), c1 = _mm256_unpackhi_epi32(b0, b1),
                      e0 = _mm256_unpacklo_epi32(b2, zero), e1 = _mm256_unpackhi_epi32(b2, zero);
        poe_nomes_avx2(_mm256_unpacklo_epi64(c0, e0), d, por_faixa);
        poe_nomes_avx2(_mm256_unpackhi_epi64(c0, e0), d + por_faixa, por_faixa);
        poe_nomes_avx2(_mm256_unpacklo_epi64(c1, e1), d + 2 * por_faixa, por_faixa);
        poe_nomes_avx2(_mm256_unpackhi_epi64(c1, e1), d + 3 * por_faixa, por_faixa);
        if (!_mm256_testz_si256(perto, perto)) [[unlikely]]
            refaz_nomes(p, d, por_faixa);
        const __m256i v = vendas_avx2(p[letras_por_nome]);
        poe_vendas(_mm256_castsi256_si128(v), d, por_faixa);
        poe_vendas(_mm256_extracti128_si256(v, 1), d + 4 * por_faixa, por_faixa);
    }
}

static void (*const constroi_faixas)(const passo *, size_t, medicamento *, size_t) =
    usa_avx2() ? constroi_faixas_avx2 : constroi_faixas_sse2;

void constroi(medicamento *destino, size_t n)
{
    const size_t por_faixa = n / faixas;
    size_t feitos = 0;
    if (por_faixa > 0 && divide_em_faixas(por_faixa * sorteios_por_registo)) {
        constexpr size_t por_lote = passos_por_lote / sorteios_por_registo;
        for (size_t k = 0; k < por_faixa; k += por_lote) {
            const size_t lote = std::min(por_lote, por_faixa - k);
            const passo *p = sorteia_faixas(lote * sorteios_por_registo);
            constroi_faixas(p, lote, destino + k, por_faixa);
        }
        junta_faixas();
        feitos = por_faixa * faixas;
    }
    constroi_em_sequencia(destino + feitos, n - feitos);
}

