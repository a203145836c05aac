// Which way the reader takes the next piece of the file: mapping it, or
// reading it with pread into a buffer of its own. Which is cheaper depends
// on the machine and on how the page cache holds the piece: mapped, a piece
// that the cache holds in one 2 MiB folio costs one page-table entry, and
// one in 4 KiB pages costs 512 of them, more than copying it does on many
// machines. Nothing in user space tells which holds, and a file may hold
// both along it (old records copied in small writes, povoa's latest
// appends in whole pieces), so the reader times each way as it goes, per
// byte brought in and filtered, and takes the cheaper.
//
// The policy is these two pure functions of what has been measured: the
// reader calls escolhe before each piece and regista after each piece it
// timed.
#pragma once

#include <cstdint>

enum class via : unsigned char { mapa, leitura };

// What the reader is asked to do: choose by cost, as the programs do; or, in
// the builds that the tests and the benchmark run, take one way whenever
// there is a choice, or the two by turns, piece by piece.
enum class modo_de_leitura : unsigned char { escolhe, so_mapa, so_leitura, alterna };

// The samples an estimate is made of, per way; the most that one of them
// counts for, in multiples of the way's cheapest piece; the pieces at least
// between two tries of the way not chosen; and what those tries may cost,
// beyond what the chosen way would have, as a share of the whole reading.
constexpr unsigned janela_de_amostras = 16;
constexpr float teto_de_uma_amostra = 4;
constexpr uint64_t pecas_entre_tentativas = 8;
constexpr float parte_para_tentativas = 0.02f;
// How much cheaper a try of the other way must be before the reading
// changes to it: a change itself costs, and where the ways cost about the
// same, changing back and forth on every small difference would cost more
// than either way.
constexpr float margem_de_mudanca = 0.1f;

// The costs are in nanoseconds per byte of a piece brought in and filtered.
// A piece taken the same way as the piece just before it (or the first of
// the reading) is a sample of its way. The first piece after a change of
// way also pays for the change (caches that held the other way's memory):
// it is no sample, unless it is a try that costs less even so. A way's
// estimate is the mean of its last samples, each counted for at most
// teto_de_uma_amostra times its cheapest (common/escolha.cpp says why).
struct custos {
    float ns_por_byte[2][janela_de_amostras] = {};  // per way, its last samples, the newest at amostras % janela
    uint32_t amostras[2] = {};                      // samples in the window, ever, per way
    float mais_barata[2] = {};                      // per way, its cheapest sample so far
    float gasto = 0;                                // what every piece timed cost
    float gasto_em_tentativas = 0;                  // what the tries cost beyond the chosen way's estimate
    via escolhida = via::mapa;                      // the way taken but for tries, once both have samples
    uint64_t ultima_tentativa = 0;                  // the piece of the last try; 0: none yet (none comes before piece 3)
    via anterior = via::mapa;                       // the way of the last piece timed
    uint64_t peca_anterior = UINT64_MAX;            // its number; none yet
};

// The way for the piece numbered `peca` (counted from 0 in the reading).
// By cost: piece 0 mapped, pieces 1 and 2 read, a sample of each way; then
// the way of the lower estimate (mapped, when they are equal), the chosen
// way; and now and then the other way for one piece, a try. The reading
// changes way only when a try costs less than the chosen way's estimate by
// more than margem_de_mudanca: a try measures the other way where the
// reading is now, while that way's own samples may come from elsewhere in
// the file (its pieces may differ along it: older records in small folios,
// povoa's latest appends in 2 MiB ones; or pieces of the page cache split
// since). A try comes at least 8 pieces after the last. The first is free,
// so that one slow piece of the cheaper way sends the reading the slower
// way for 8 pieces at most; the others come only while the tries have
// cost, beyond the chosen way's estimate and with the piece after each,
// which pays for the change back, at most 2% of the reading: where the
// other way seems no dearer (the chosen has become dearer), tries are
// free; where it seems far dearer, rare.
via escolhe(const custos &c, uint64_t peca, modo_de_leitura modo);

// Records what piece `peca`, taken by way `v`, cost. A try that costs less
// than the chosen way's estimate, by the margin, starts its way's window
// anew and makes it the chosen way.
void regista(custos &c, via v, float ns_por_byte, uint64_t peca);
