// The record scan of the search and the state program: the first record of
// a name that the program's test accepts, in file order, copied into the
// program-wide record buffer m.
#pragma once

#include "common/escolha.h"
#include "common/medicamento.h"

#include <cstdint>
#include <string_view>

// The record that a scan accepted; the state program changes it and writes it back.
extern medicamento m;

// Results of percorre other than a record index.
constexpr int64_t nenhum_aceite = -1;
constexpr int64_t erro_leitura = -2;

// The program's test of a record whose name matched, given its state: true
// accepts the record and ends the scan. It runs between two reads of the
// file, never while the file is being read.
using teste_do_registo = bool (*)(int32_t estado);

// Takes, in file order, the whole records of `fd` (a regular file) named
// exactly `nome`, as the reader hands them out (common/leitor.h), and stops
// at the first that `aceita` accepts. Returns that record's index, with the
// record copied into m; nenhum_aceite when none was accepted; or
// erro_leitura, with errno set, when a read failed. `modo`: how the reader
// takes the pieces of the file (common/escolha.h).
int64_t percorre(int fd, std::string_view nome, teste_do_registo aceita, modo_de_leitura modo);
