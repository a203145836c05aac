#include "common/escolha.h"

#include <algorithm>

// The estimate of a way's cost: the mean of its last samples (up to
// janela_de_amostras), each counted for at most teto_de_uma_amostra times
// the way's cheapest sample. What a way costs along a file is a mean:
// mapped pieces in small folios mostly cost about what a read costs, but
// every few pieces one costs ten times that, and those count. One slow
// piece (an interrupt, the first touch of memory) counts for at most 4
// times the cheapest, and so raises a full window's estimate by at most
// 3/16 of the cheapest piece, and only while it is in the window.
static float estimativa(const custos &c, via v)
{
    const int w = static_cast<int>(v);
    const unsigned n = std::min<uint32_t>(c.amostras[w], janela_de_amostras);
    if (n == 0)
        return 0;
    float soma = 0;
    for (unsigned i = 0; i < n; ++i)
        soma += std::min(c.ns_por_byte[w][i], teto_de_uma_amostra * c.mais_barata[w]);
    return soma / static_cast<float>(n);
}

static bool ambas_medidas(const custos &c)
{
    return c.amostras[0] > 0 && c.amostras[1] > 0;
}

static via outra(via v)
{
    return v == via::mapa ? via::leitura : via::mapa;
}

// Whether piece `peca` is a try of the way not chosen.
static bool tenta(const custos &c, uint64_t peca)
{
    if (peca < c.ultima_tentativa + pecas_entre_tentativas)
        return false;
    if (c.ultima_tentativa == 0)
        return true;
    const via melhor = c.escolhida;
    const float a_mais = std::max(0.0f, estimativa(c, outra(melhor)) - estimativa(c, melhor));
    return c.gasto_em_tentativas + a_mais <= parte_para_tentativas * c.gasto;
}

via escolhe(const custos &c, uint64_t peca, modo_de_leitura modo)
{
    switch (modo) {
    case modo_de_leitura::so_mapa:
        return via::mapa;
    case modo_de_leitura::so_leitura:
        return via::leitura;
    case modo_de_leitura::alterna:
        return peca % 2 == 0 ? via::mapa : via::leitura;
    case modo_de_leitura::escolhe:
        break;
    }
    if (c.amostras[static_cast<int>(via::mapa)] == 0)
        return via::mapa;
    if (c.amostras[static_cast<int>(via::leitura)] == 0)
        return via::leitura;
    return tenta(c, peca) ? outra(c.escolhida) : c.escolhida;
}

static void amostra(custos &c, via v, float ns_por_byte)
{
    const int w = static_cast<int>(v);
    c.ns_por_byte[w][c.amostras[w] % janela_de_amostras] = ns_por_byte;
    c.mais_barata[w] = c.amostras[w] == 0 ? ns_por_byte : std::min(c.mais_barata[w], ns_por_byte);
    ++c.amostras[w];
}

void regista(custos &c, via v, float ns_por_byte, uint64_t peca)
{
    const bool seguida = c.peca_anterior == UINT64_MAX || (c.anterior == v && c.peca_anterior + 1 == peca);
    if (!ambas_medidas(c)) {
        if (seguida)
            amostra(c, v, ns_por_byte);
        if (ambas_medidas(c))
            c.escolhida = estimativa(c, via::mapa) <= estimativa(c, via::leitura) ? via::mapa : via::leitura;
    } else {
        const float estimada = estimativa(c, c.escolhida);
        if (v != c.escolhida) {
            c.ultima_tentativa = peca;
            c.gasto_em_tentativas += std::max(0.0f, ns_por_byte - estimada);
            if (ns_por_byte < (1 - margem_de_mudanca) * estimada) {
                c.amostras[static_cast<int>(v)] = 0;
                amostra(c, v, ns_por_byte);
                c.escolhida = v;
            }
        } else if (!seguida) {
            c.gasto_em_tentativas += std::max(0.0f, ns_por_byte - estimada);
        } else {
            amostra(c, v, ns_por_byte);
        }
    }
    c.gasto += ns_por_byte;
    c.anterior = v;
    c.peca_anterior = peca;
}
