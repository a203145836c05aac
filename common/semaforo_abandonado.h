// A semaphore set that its creator never initialised: created, and the
// creator killed before it set the value (the OOM killer, a Ctrl-C, a machine
// stopping between two system calls), the set stays at the system's 0, and
// every later run would wait in P for ever.
#pragma once

// Sets the semaphore of the set `id` to `valor` when the set looks abandoned
// by its creator: value 0, no operation ever done on it (sem_otime 0), and
// created (or last set) at least 2 s ago, longer than a creator needs from
// its semget to its SETVAL. A set that a run holds has had an operation
// done on it, and is left alone, as is one that a creator is still about
// to set: that is waited for, polling, for at most those 2 s. A failed
// SETVAL is reported as "Erro no cria_semaforo: <error>"; a set that cannot
// be looked at is left to P, which reports it.
void inicia_se_abandonado(int id, int valor);
