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
