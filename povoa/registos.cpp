// Records from the generator's draws, built a block at a time: most of a
// block from faixas stretches of the sequence side by side, by the kernels
// of nucleo.h, the few records that do not divide evenly in order after
// them, here.
#include "povoa/registos.h"

#include "povoa/gerador.h"
#include "povoa/nucleo_despacho.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
            std::memset(r.nome + letras_por_nome, 0, bytes_do_nome - letras_por_nome);
            r.stock = ordem_do_ficheiro(stock_novo);
            r.vendas = ordem_do_ficheiro(static_cast<int32_t>(vendas(w[letras_por_nome])));
            r.estado = ordem_do_ficheiro(disponivel);
        }
        feitos += lote;
    }
}

// Records of a stretch in one pass of the kernels. The 8 stretches are
// built side by side, 8 streams of stores por_faixa * 28 bytes apart; where
// that distance is close to a multiple of 4 KiB the streams alias one
// another in the processor's caches. 3,120 records (87,360 bytes, 21 1/3
// pages) keep them apart.
static constexpr size_t por_faixa_maximo = 3120;

// n records, most of them from the stretches, the rest in order after them.
static void constroi_em_faixas(medicamento *destino, size_t n)
{
    const size_t por_faixa = n / faixas;
    size_t feitos = 0;
    if (por_faixa > 0 && divide_em_faixas(por_faixa * sorteios_por_registo)) {
        constexpr size_t por_lote = passos_por_lote / sorteios_por_registo;
        for (size_t k = 0; k < por_faixa; k += por_lote) {
            const size_t lote = std::min(por_lote, por_faixa - k);
            const passo *p = sorteia_faixas(lote * sorteios_por_registo);
            nucleo_escolhido().monta_registos(p, lote, destino + k, por_faixa);
        }
        junta_faixas();
        feitos = por_faixa * faixas;
    }
    constroi_em_sequencia(destino + feitos, n - feitos);
}

void constroi(medicamento *destino, size_t n)
{
    constexpr size_t por_passagem = faixas * por_faixa_maximo;
    size_t feitos = 0;
    for (; n - feitos >= por_passagem; feitos += por_passagem)
        constroi_em_faixas(destino + feitos, por_passagem);
    // What is left of a piece, usually a few records: in order when too few
    // to be worth the stretches' start (each new stretch length costs the
    // jump to its start).
    if (n - feitos < 64 * faixas)
        constroi_em_sequencia(destino + feitos, n - feitos);
    else
        constroi_em_faixas(destino + feitos, n - feitos);
}
