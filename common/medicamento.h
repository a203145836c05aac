// The format of BD.bin: a plain sequence of 28-byte medicine records, with
// no header, index or trailer. Record j starts at byte 28 * j. A trailing
// partial record (a file whose size is not a multiple of 28) is not a record:
// readers neither count nor visit it, and povoa cuts it off before it
// appends.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <sys/types.h>

// One record: 28 bytes, little-endian on every host, no padding. The numbers
// are held as the file holds them: read or set them through ordem_do_ficheiro.
struct medicamento {
    char nome[16];    // zero-terminated name; a field with no terminator holds 16 characters
    int32_t stock;    // units in stock
    int32_t vendas;   // units sold
    int32_t estado;   // disponivel, apagado, anything else invalid
};
static_assert(sizeof(medicamento) == 28);
static_assert(offsetof(medicamento, stock) == 16 && offsetof(medicamento, vendas) == 20 &&
              offsetof(medicamento, estado) == 24);

constexpr int64_t tamanho_registo = sizeof(medicamento);
constexpr const char *nome_ficheiro = "BD.bin";

// The piece of the file that povoa writes at a time and the reader maps at
// a time, at offsets that are multiples of it: 2 MiB, the size of a huge
// page and of the largest folio the page cache usually holds, so that a
// file written in such pieces can be mapped a piece to a page-table entry.
// Not a multiple of the record: a record may straddle two pieces.
constexpr int64_t bytes_por_peca = int64_t{2} << 20;
static_assert(bytes_por_peca % 65536 == 0, "a multiple of every page size");
constexpr int32_t disponivel = 1;
constexpr int32_t apagado = 0;

// The name of a record: the bytes of `nome` up to its terminator, at most 16.
inline std::string_view nome_de(const medicamento &r)
{
    return {r.nome, strnlen(r.nome, sizeof r.nome)};
}

// A number between the host's byte order and the file's little-endian one,
// either way: the bytes swapped on a big-endian host, nothing on a
// little-endian one.
static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);
constexpr int32_t ordem_do_ficheiro(int32_t valor)
{
    if constexpr (std::endian::native == std::endian::big)
        return static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(valor)));
    return valor;
}

// Offsets are 64-bit on every host, 32-bit ones included, so that a file
// past 2 GiB is read and written whole.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");
