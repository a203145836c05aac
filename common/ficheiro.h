// What the programs share around BD.bin and their output: the one way they
// open the file, write to it, report a failure, and close standard output.
// Every diagnostic goes to standard error, naming its object, never to
// standard output, where the results are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Opens BD.bin with `modo` (O_RDONLY, O_RDWR, or povoa's O_RDWR | O_APPEND |
// O_CREAT, which creates it 0666 less the umask) never on a standard
// descriptor, and refuses anything but a regular file (a FIFO, a device, a
// socket) without ever opening it, so without blocking on it. A regular
// file under another process's lease is waited for in the kernel until the
// lease is broken, at most /proc/sys/fs/lease-break-time seconds. Returns
// the descriptor, or -1 after reporting why on standard error: a failed
// open as "<rotulo>: <error>", anything else as "BD.bin: ...".
int abre_ficheiro(int modo, const char *rotulo);

// Whether the name BD.bin still leads to the open file `fd`: 1 when it does,
// 0 when it leads to another file or to none (the file was replaced, by a
// restore from a copy or an editor's save, or removed), -1 with errno set
// when that cannot be told.
int o_nome_ainda_o_leva(int fd);

// Opens BD.bin as abre_ficheiro does and takes `tranca` on it, a wait for a
// lock that another run may hold (false, with errno set, when the lock
// cannot be had). A lock had on a file that the name no longer leads to is
// let go, and the name opened and locked again, so that what the run then
// does goes to the file named BD.bin when the lock was had. Returns the
// locked descriptor, or -1 after reporting on standard error, with
// `tranca_falhou` false when the file could not be opened and true when it
// could not be locked (or was replaced too often to lock).
int abre_trancado(int modo, const char *rotulo, bool (*tranca)(int), bool &tranca_falhou);

// Moves a descriptor that landed on standard input, output or error (one of
// them was closed) above them, so that nothing printed can reach the file.
// The descriptor to use, or -1 with errno set and `fd` closed.
int fora_das_normais(int fd);

// Writes `n` bytes to `fd`, at offset `onde`, or where the descriptor
// appends when `onde` is -1, continuing short writes and retrying
// interrupted ones, and adds to `escritos` the bytes that reached the file,
// also when it fails part-way. False, with errno set, when a write failed or
// wrote nothing.
bool escreve_tudo(int fd, const char *bytes, size_t n, int64_t onde, int64_t &escritos);

// Reports on standard error "<objeto>: <the text of erro><depois>".
void reporta(const char *objeto, int erro, const char *depois = "");
// Reports on standard error "<objeto>: <formato, as printf>".
[[gnu::format(printf, 2, 3)]] void reporta_texto(const char *objeto, const char *formato, ...);

// Closes standard output, the last thing a program prints through; false,
// with a report on standard error, when what was printed could not be written.
bool fecha_saida();

// Copies a command-line argument into a name buffer of `tamanho` bytes. The
// result is the name, or, when the argument does not fit with its
// terminator, a view of all `tamanho` bytes: longer than any stored name, it
// matches no record.
std::string_view copia_nome(char *buffer, size_t tamanho, const char *argumento);
