// Thin wrappers over System V semaphores and shared memory. Each reports a
// failed call at once through perror with its label and returns the failure
// value; none ends the program or retries a failed call (an interrupted
// wait is not one): what follows a failure is the caller's affair.
#pragma once

#include <sys/sem.h>

// The fourth argument of semctl, which POSIX leaves the program to declare.
union semun {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};

// One semaphore, number 0 of its set, used as a lock shared by all the runs
// of one program. Both operations carry SEM_UNDO, so that the kernel gives the
// lock back when a run dies while holding it.
extern struct sembuf _P_semaforo;
extern struct sembuf _V_semaforo;

// Creates the one-semaphore set of `chave` with permissions 0666 and sets its
// value to `valor`, or, when the set exists (or cannot be created for any
// other reason), opens it without touching its value. Returns the set id, or -1.
int cria_semaforo(int chave, int valor);

// Waits until the semaphore is positive and decrements it, however often
// the wait is interrupted by a signal that does not end the program. 0, or -1.
int P(int id);

// Increments the semaphore. 0, or -1.
int V(int id);

// Removes the set. The result of the removal: 0, or -1.
int remove_semaforo(int id);

// Creates or opens the segment of `chave` (permissions 0666), stores its id
// in `id` at once (-1 included) and attaches it for reading and writing.
// Returns the address, or (void *)-1; a segment that could not be attached
// stays, and so does its id in `id`.
void *shmalloc(int chave, int tamanho, int *id);

// Creates or opens the segment of `chave`. Its id, or -1.
int shmemcreat(int chave, int tamanho);

// Opens the existing segment of `chave`. Its id, or -1.
int shmemget(int chave, int tamanho);

// Attaches the segment `id` for reading and writing. Its address, or (void *)-1.
void *shmemat(int id);

// Removes the segment `id`. 0, or -1.
int shmrm(int id);

// Detaches the segment at `endereco`. 0, or -1.
int shmemdet(const void *endereco);
