// glibc's rand() is random() on a 31-word additive-feedback state (its
// TYPE_3): seeding fills the state from the seed with the minimal standard
// generator and throws the first 310 draws away; each draw adds the word
// three places back to the current one, modulo 2^32, and yields that sum
// without its low bit. As a sequence of sums, r[i] = r[i-31] + r[i-3].
//
// The recurrence is linear, so the state d draws on is a fixed linear
// function of the state now: that is how the stretches start where the
// sequence has them, and why each stretch then runs on its own, all of them
// together in the lanes of one vector.
#include "povoa/gerador.h"

#include "common/para_testes.h"

#include "povoa/nucleo_despacho.h"

#include <cstdlib>
#include <cstring>

static constexpr size_t grau = 31;      // words of state
static constexpr size_t separacao = 3;  // distance of the word added to the current one
static constexpr size_t descartados = 10 * grau;

static bool usa_rand;  // the restatement differs from this library's rand()

// The sequence drawn in order: palavras[0 .. grau) are the grau sums before
// the batch, the batch follows.
static uint32_t palavras[grau + sorteios_por_lote];
static size_t no_lote;  // sums of the last batch; the grau after them are the next state

// The stretches: step t of every stretch, the grau steps before the batch
// first.
alignas(32) static passo janela[grau + passos_por_lote];
static size_t na_janela;

// Extends the sequence r from r[de] to r[ate - 1], each sum from the ones
// grau and separacao places before it.
static void recorre(uint32_t *r, size_t de, size_t ate)
{
    for (size_t i = de; i < ate; ++i)
        r[i] = r[i - grau] + r[i - separacao];
}

// A polynomial of degree below grau, modulo x^31 - x^28 - 1: the recurrence
// says that shifting the sequence by 31 is shifting it by 28 and adding it.
using polinomio = uint32_t[grau];

static void multiplica(const polinomio a, const polinomio b, polinomio c)
{
    uint32_t produto[2 * grau - 1] = {};
    for (size_t i = 0; i < grau; ++i)
        for (size_t j = 0; j < grau; ++j)
            produto[i + j] += a[i] * b[j];
    for (size_t k = 2 * grau - 2; k >= grau; --k) {  // x^k = x^(k-3) + x^(k-31)
        produto[k - separacao] += produto[k];
        produto[k - grau] += produto[k];
    }
    std::memcpy(c, produto, sizeof(polinomio));
}

// x^d: its coefficients c give r[j + d] = sum of c[k] r[j + k].
static polinomio salto;
static size_t salto_de;

static void calcula_salto(size_t d)
{
    polinomio base = {0, 1};
    polinomio resultado = {1};
    for (; d > 0; d >>= 1) {
        if (d & 1)
            multiplica(resultado, base, resultado);
        multiplica(base, base, base);
    }
    std::memcpy(salto, resultado, sizeof salto);
}

// The state (the grau sums before a draw) salto_de draws on from `estado`.
static void salta(uint32_t *estado)
{
    uint32_t r[2 * grau - 1];
    std::memcpy(r, estado, grau * sizeof r[0]);
    recorre(r, grau, 2 * grau - 1);
    for (size_t t = 0; t < grau; ++t) {
        uint32_t soma = 0;
        for (size_t k = 0; k < grau; ++k)
            soma += salto[k] * r[t + k];
        estado[t] = soma;
    }
}

static void semeia(unsigned semente)
{
    uint32_t r[grau + descartados];
    if (semente == 0)
        semente = 1;
    int32_t palavra = static_cast<int32_t>(semente);
    uint32_t estado[grau];
    estado[0] = static_cast<uint32_t>(palavra);
    for (size_t i = 1; i < grau; ++i) {
        // palavra = 16807 * palavra mod (2^31 - 1), without overflowing 31 bits
        const long alto = palavra / 127773;
        const long baixo = palavra % 127773;
        palavra = static_cast<int32_t>(16807 * baixo - 2836 * alto);
        if (palavra < 0)
            palavra += 2147483647;
        estado[i] = static_cast<uint32_t>(palavra);
    }
    // In sequence order the oldest sum comes first. Seeding leaves the word
    // `separacao` places on as the first to be replaced, so rotate it to the front.
    for (size_t i = 0; i < grau; ++i)
        r[i] = estado[(i + separacao) % grau];
    recorre(r, grau, grau + descartados);
    std::memcpy(palavras, r + descartados, grau * sizeof palavras[0]);
    no_lote = 0;
}

const uint32_t *sorteia(size_t n)
{
    uint32_t *lote = palavras + grau;
    if (usa_rand) {
        for (size_t i = 0; i < n; ++i)
            lote[i] = static_cast<uint32_t>(rand()) << 1;
        return lote;
    }
    std::memmove(palavras, palavras + no_lote, grau * sizeof palavras[0]);
    recorre(palavras, grau, grau + n);
    no_lote = n;
    return lote;
}

bool divide_em_faixas(size_t d)
{
    if (usa_rand)
        return false;
    if (salto_de != d) {
        calcula_salto(d);
        salto_de = d;
    }
    uint32_t estado[grau];
    std::memcpy(estado, palavras + no_lote, sizeof estado);
    for (size_t f = 0; f < faixas; ++f) {
        if (f > 0)
            salta(estado);
        for (size_t t = 0; t < grau; ++t)
            janela[t][f] = estado[t];
    }
    na_janela = 0;
    return true;
}

const passo *sorteia_faixas(size_t n)
{
    std::memmove(janela, janela + na_janela, grau * sizeof janela[0]);
    nucleo_escolhido().avanca_faixas(janela, grau, n);
    na_janela = n;
    return janela + grau;
}

void junta_faixas()
{
    for (size_t t = 0; t < grau; ++t)
        palavras[t] = janela[na_janela + t][faixas - 1];
    no_lote = 0;
}

void prepara_sorteios(unsigned semente)
{
    constexpr size_t verificados = 4 * grau;
    usa_rand = false;
    semeia(semente);
    const uint32_t *lote = sorteia(verificados);
    srand(semente);
    for (size_t i = 0; i < verificados; ++i)
        if (static_cast<int>(lote[i] >> 1) != rand())
            usa_rand = true;
    if constexpr (sorteios_so_de_rand)
        usa_rand = true;
    if (!usa_rand)
        semeia(semente);
    srand(semente);
}
