// A lock on BD.bin that holds for the file the name leads to: a run that
// waits for a lock and then writes must write to the file named BD.bin when
// the lock was had, not to one that a restore or an editor's save has put
// out of the name's reach meanwhile.
#pragma once

// Opens BD.bin as abre_ficheiro does and takes `tranca` on it, a wait for a
// lock that another run may hold (false, with errno set, when the lock
// cannot be had). A lock had on a file that the name no longer leads to is
// let go, and the name opened and locked again, so that what the run then
// does goes to the file named BD.bin when the lock was had. Returns the
// locked descriptor, or -1 after reporting on standard error, with
// `tranca_falhou` false when the file could not be opened and true when it
// could not be locked (or was replaced too often to lock).
int abre_trancado(int modo, const char *rotulo, bool (*tranca)(int), bool &tranca_falhou);
