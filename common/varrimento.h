// The record scan over BD.bin, and the program-wide record buffer m that it
// fills: the search and the state program each run it with a test of their
// own.
#pragma once

#include "common/medicamento.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// The record that a scan accepted; the state program changes it and writes it back.
extern medicamento m;

// The name of a record: the bytes of `nome` up to its terminator, at most 16.
std::string_view nome_de(const medicamento &r);

// The scan reads the file a window of this many bytes at a time, at offsets
// that are multiples of it (see varrimento.cpp).
constexpr int64_t bytes_por_janela = int64_t{2} << 20;

// Results of percorre other than a record index.
constexpr int64_t nenhum_aceite = -1;
constexpr int64_t erro_leitura = -2;

// The program's test of a record whose name matched: its state, and the
// context given to percorre. True accepts the record and ends the scan.
using teste_do_registo = bool (*)(int32_t estado, void *contexto);

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
int64_t percorre(int fd, std::string_view nome, teste_do_registo aceita, void *contexto = nullptr);

// Copies a command-line argument into a name buffer of `tamanho` bytes. The
// result is the name, or, when the argument does not fit with its
// terminator, a view of all `tamanho` bytes: longer than any stored name, it
// matches no record.
std::string_view copia_nome(char *buffer, size_t tamanho, const char *argumento);
