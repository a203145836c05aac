// The reader's policy, which way each piece is taken, run over files whose
// pieces cost what each row says, as the reader would run it.
#include <gtest/gtest.h>

#include "common/escolha.h"

#include <functional>
#include <vector>

namespace {

// What piece k costs, per byte, taken by way v.
using custo_de = std::function<float(via v, uint64_t k)>;

// The ways a reading of `pecas` pieces takes, choosing by cost.
std::vector<via> le(uint64_t pecas, const custo_de &custo, modo_de_leitura modo = modo_de_leitura::escolhe)
{
    custos c;
    std::vector<via> vias;
    for (uint64_t k = 0; k < pecas; ++k) {
        const via v = escolhe(c, k, modo);
        regista(c, v, custo(v, k), k);
        vias.push_back(v);
    }
    return vias;
}

// The pieces of [de, ate) taken by way v.
size_t quantas(const std::vector<via> &vias, via v, size_t de = 0, size_t ate = SIZE_MAX)
{
    size_t n = 0;
    for (size_t k = de; k < std::min(ate, vias.size()); ++k)
        n += vias[k] == v;
    return n;
}

// What the reading costs, against what the cheaper way alone would have.
float razao(const std::vector<via> &vias, const custo_de &custo)
{
    float lida = 0, so_mapa = 0, so_leitura = 0;
    for (uint64_t k = 0; k < vias.size(); ++k) {
        lida += custo(vias[k], k);
        so_mapa += custo(via::mapa, k);
        so_leitura += custo(via::leitura, k);
    }
    return lida / std::min(so_mapa, so_leitura);
}

constexpr uint64_t ficheiro = 268;  // the pieces of 20,000,000 records

TEST(Escolha, TheCheaperWayIsTakenAndTheTriesCostLittle)
{
    // Costs as measured: 2 MiB folios, mapped 0.09, read 0.17; small folios,
    // mapped about 0.2 with one piece in twenty ten times that, read 0.17;
    // and a machine where mapping small folios costs five times a read.
    const struct {
        const char *como;
        custo_de custo;
        via melhor;
    } casos[] = {
        {"2 MiB folios", [](via v, uint64_t) { return v == via::mapa ? 0.09f : 0.17f; }, via::mapa},
        {"small folios", [](via v, uint64_t k) { return v == via::leitura ? 0.17f : k % 20 == 7 ? 2.0f : 0.2f; }, via::leitura},
        {"mapping dear", [](via v, uint64_t) { return v == via::mapa ? 0.85f : 0.17f; }, via::leitura},
    };
    for (const auto &c : casos) {
        const std::vector<via> vias = le(ficheiro, c.custo);
        EXPECT_GE(quantas(vias, c.melhor), ficheiro * 9 / 10) << c.como;
        // The first three pieces and the free try take each way; the other
        // tries, with the piece after each, cost at most 2% more.
        EXPECT_LE(razao(vias, c.custo), 1.05f) << c.como;
    }
}

TEST(Escolha, EachWayIsTriedFirstThenAfterAChangeOfWayAPieceIsNoSample)
{
    const custo_de custo = [](via v, uint64_t) { return v == via::mapa ? 0.3f : 0.1f; };
    const std::vector<via> vias = le(12, custo);
    // Mapped once, then read: the first read pays for the change, and only
    // the second is a sample.
    EXPECT_EQ(std::vector<via>(vias.begin(), vias.begin() + 5),
              (std::vector<via>{via::mapa, via::leitura, via::leitura, via::leitura, via::leitura}));
    custos c;
    regista(c, via::mapa, 0.3f, 0);
    regista(c, via::leitura, 0.1f, 1);
    EXPECT_EQ(c.amostras[1], 0u);
    regista(c, via::leitura, 0.1f, 2);
    EXPECT_EQ(c.amostras[1], 1u);
    regista(c, via::leitura, 0.1f, 4);  // piece 3 was not timed: no sample
    EXPECT_EQ(c.amostras[1], 1u);
}

TEST(Escolha, OneSlowPieceNeverTurnsTheReadingForLong)
{
    // An interrupt or a first touch makes one mapped piece forty times dearer.
    for (const uint64_t lenta : {uint64_t{1}, uint64_t{3}, uint64_t{30}, uint64_t{100}}) {
        const custo_de custo = [lenta](via v, uint64_t k) { return v == via::leitura ? 0.17f : k == lenta ? 3.6f : 0.09f; };
        const std::vector<via> vias = le(ficheiro, custo);
        EXPECT_LE(quantas(vias, via::leitura, 4), 8u) << "slow piece " << lenta;
        EXPECT_LE(razao(vias, custo), 1.05f) << "slow piece " << lenta;
    }
}

TEST(Escolha, AFileThatChangesAlongItIsFollowed)
{
    // Older records in small folios, where mapping is dear; the newer ones,
    // from piece 100 on, in 2 MiB folios; and the other way round.
    for (const bool mapa_no_fim : {true, false}) {
        const custo_de custo = [mapa_no_fim](via v, uint64_t k) {
            const bool barato = (k >= 100) == mapa_no_fim;
            return v == via::leitura ? 0.17f : barato ? 0.09f : 0.4f;
        };
        const std::vector<via> vias = le(ficheiro, custo);
        const via antes = mapa_no_fim ? via::leitura : via::mapa, depois = mapa_no_fim ? via::mapa : via::leitura;
        EXPECT_GE(quantas(vias, antes, 4, 100), 90u) << mapa_no_fim;
        EXPECT_GE(quantas(vias, depois, 100, ficheiro), 168u - 60u) << mapa_no_fim;
        EXPECT_LE(razao(vias, custo), 1.15f) << mapa_no_fim;
    }
}

TEST(Escolha, ForcedWaysAreTakenWhateverTheCosts)
{
    const custo_de custo = [](via v, uint64_t) { return v == via::mapa ? 9.0f : 0.1f; };
    EXPECT_EQ(quantas(le(20, custo, modo_de_leitura::so_mapa), via::mapa), 20u);
    EXPECT_EQ(quantas(le(20, custo, modo_de_leitura::so_leitura), via::leitura), 20u);
    const std::vector<via> alternadas = le(20, custo, modo_de_leitura::alterna);
    for (size_t k = 0; k < alternadas.size(); ++k)
        EXPECT_EQ(alternadas[k], k % 2 == 0 ? via::mapa : via::leitura) << k;
}

}  // namespace
