// The first filter of a name over many records: a record can only be named
// `nome` when its first min(size + 1, 8) bytes are the name's bytes followed
// by the terminator, and comparing those under a mask turns away nearly
// every other record with one 64-bit compare. The reader runs it over every
// record it reads; bench/chao runs it too, to measure the floor of a search.
#pragma once

#include "common/medicamento.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

struct filtro_do_nome {
    uint64_t prefixo, mascara;
};

// The filter of a name of at most 16 bytes. Prefix and mask are both laid
// out as bytes, so the test holds on either byte order.
inline filtro_do_nome filtro_de(std::string_view nome)
{
    char chave[sizeof medicamento::nome] = {};
    std::memcpy(chave, nome.data(), std::min(nome.size(), sizeof chave));
    unsigned char bytes_mascara[sizeof(uint64_t)] = {};
    std::memset(bytes_mascara, 0xff, std::min(nome.size() + 1, sizeof bytes_mascara));
    filtro_do_nome f;
    std::memcpy(&f.prefixo, chave, sizeof f.prefixo);
    std::memcpy(&f.mascara, bytes_mascara, sizeof f.mascara);
    return f;
}

// The first record of r[i .. fim) that passes the filter; fim when none
// does. Four records are tested per branch.
inline size_t candidato(const medicamento *r, size_t i, size_t fim, filtro_do_nome f)
{
    // 1 when record k cannot match, 0 when it may: a number, not a bool, so
    // that four are combined with & and one branch.
    const auto difere = [&](size_t k) -> unsigned {
        uint64_t inicio;
        std::memcpy(&inicio, r[k].nome, sizeof inicio);
        return ((inicio ^ f.prefixo) & f.mascara) != 0;
    };
    for (; i + 4 <= fim; i += 4)
        if ((difere(i) & difere(i + 1) & difere(i + 2) & difere(i + 3)) == 0) [[unlikely]]
            break;
    for (; i < fim; ++i)
        if (!difere(i))
            return i;
    return fim;
}
