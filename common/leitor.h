// The reader of BD.bin: hands out, in file order, the whole records whose
// name is the one asked for, each copied out with its index, and says when
// the file ends and when a read failed.
//
// One reading at a time in a process: from comeca_leitura to acaba_leitura
// the reader holds, in this module, the file, the name, the position (the
// next record not yet compared), the count of records still to visit, the
// piece of the file in hand (mapped, or read into a buffer of its own), the
// first hole ahead, and a handler of SIGBUS, unblocked. It is not reentrant, and not
// for threads. Between two calls of proximo nothing of the file is touched,
// and a SIGBUS gets the program's own handling.
#pragma once

#include "common/escolha.h"
#include "common/medicamento.h"

#include <cstdint>
#include <string_view>

// What proximo found.
enum class lido {
    registo,  // the next record of the name, copied out, with its index
    fim,      // no record of the name is left
    erro,     // a part of the file could not be read; errno says why
};

// Begins a reading of `fd`, a regular file open for reading, for the records
// named exactly `nome` (their bytes up to the terminator equal to it; a name
// of more than 16 bytes names none). The records read are those the file
// holds whole when the reading begins: a trailing partial record is not a
// record, and records appended later are not read. Where a piece may be
// either mapped or read, `modo` says how it is taken (common/escolha.h);
// the answers are the same whichever way. False, with errno set, when the
// reading cannot begin; true, and acaba_leitura must end it.
bool comeca_leitura(int fd, std::string_view nome, modo_de_leitura modo = modo_de_leitura::escolhe);

// The next record of the name after the last one handed out. When the file
// shrinks during the reading, the records that left it are not handed out,
// and the reading ends; however the file changes, it ends. A part of the
// file that cannot be read is lido::erro, never the end of the file.
lido proximo(medicamento &registo, int64_t &indice);

// Ends the reading: the address space it used and the program's own
// handling of SIGBUS, its handler and whether it was blocked, are given back.
void acaba_leitura();
