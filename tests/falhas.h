// Fault injection: seccomp filters that make chosen system calls of the
// calling process (and of the programs it then runs) fail with an errno, so
// that a test reaches a program's error paths without privileges. Each
// function installs its filter for good; call it in a child (em_filho, or
// before the exec of a run). Where no filter can be installed the process
// ends with 126, saying why on standard error, so that no test passes
// without its fault.
#pragma once

#include <cerrno>
#include <cstdint>
#include <initializer_list>

// Every pwrite64 and every write to descriptor `fd` (-1: none) fail with
// `erro`.
void falha_escritas(int erro, int fd = -1);

// Every pread64 at an offset whose low 32 bits are `desvio` or more fails
// with `erro` (the dynamic loader's reads, at the start of its libraries,
// go through).
void falha_leituras_desde(uint32_t desvio, int erro);

// Every call of the system calls `numeros` fails with `erro`.
void falha_chamada(std::initializer_list<long> numeros, int erro);

// Every mmap of a file shared with other processes (MAP_SHARED) fails with
// `erro`, as on a file system that cannot map files (FUSE with direct_io
// gives ENODEV); the dynamic loader's private mappings go through.
void falha_mmap_partilhado(int erro);

// Every mmap of exactly `bytes` bytes fails with `erro`.
void falha_mmap_de(uint32_t bytes, int erro);

// Every shmat fails with `erro`, whether the C library makes it as a call of
// its own or through the ipc multiplexer (as on i386 and s390x).
void falha_shmat(int erro);

// Every semget that asks for IPC_EXCL fails with `erro`, however the C
// library makes it.
void falha_semget_exclusivo(int erro);
