// The medicine record file BD.bin and the record scan over it.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>
#include <sys/types.h>

// One record of BD.bin: 28 bytes, little-endian on every host, no padding.
// Record j starts at byte 28 * j; the file has no header, index or trailer.
// The numbers are held as the file holds them: read or set them through
// ordem_do_ficheiro.
struct medicamento {
    char nome[16];    // zero-terminated name; a field with no terminator holds 16 characters
    int32_t stock;    // units in stock
    int32_t vendas;   // units sold
    int32_t estado;   // 1 available, 0 deleted, anything else invalid
};
static_assert(sizeof(medicamento) == 28);

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

constexpr int64_t tamanho_registo = sizeof(medicamento);
constexpr const char *nome_ficheiro = "BD.bin";
constexpr int32_t disponivel = 1;
constexpr int32_t apagado = 0;

// The record that a scan accepted; the state program changes it and writes it back.
extern medicamento m;

// The name of a record: the bytes of `nome` up to its terminator, at most 16.
std::string_view nome_de(const medicamento &r);

// Results of percorre other than a record index.
constexpr int64_t nenhum_aceite = -1;
constexpr int64_t erro_leitura = -2;

// Visits, in file order, the whole records that `fd` (a regular file) holds
// when the scan starts, and stops at the first whose name equals `nome`
// exactly and whose `estado` `aceita` approves. Returns that record's index,
// with the record copied into m; nenhum_aceite when none was approved; or
// erro_leitura with errno set when a read failed.
//
// A trailing partial record is not a record: it is neither counted nor
// visited. Records appended after the start are not visited, and when the
// file shrinks during the scan the records that left it are not visited
// either, so the scan ends whatever happens to the file. A part of the file
// that cannot be read ends the scan with erro_leitura, never as the end of
// the file. The file is read through mappings, and with pread where mapping
// would not do; for the time of the scan a handler of SIGBUS catches the
// faults of a mapped window, and the program's own handling of SIGBUS is
// given back afterwards.
int64_t percorre(int fd, std::string_view nome, bool (*aceita)(int32_t estado));

// Copies a command-line argument into a name buffer of `tamanho` bytes. The
// result is the name, or, when the argument does not fit with its
// terminator, a view of all `tamanho` bytes: longer than any stored name, it
// matches no record.
std::string_view copia_nome(char *buffer, size_t tamanho, const char *argumento);

// Opens BD.bin with `modo` (O_RDONLY or O_RDWR) without ever blocking, as
// opening a FIFO would, and refuses anything but a regular file. Returns the
// descriptor, or -1 after reporting why on standard error ("BD.bin: ...").
int abre_ficheiro(int modo);

// Moves a descriptor that landed on standard input, output or error (one of
// them was closed) above them, so that nothing printed can reach the file.
// The descriptor to use, or -1 with errno set and `fd` closed.
int fora_das_normais(int fd);

// Reports on standard error the object and the error text of `erro`.
void reporta(const char *objeto, int erro);

// Closes standard output, the last thing a program prints through; false,
// with a report on standard error, when what was printed could not be written.
bool fecha_saida();
