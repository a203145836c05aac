// The shared-memory wrappers: what they create and attach, and how they
// report failures without ending the program.
#include "apoio.h"
#include "falhas.h"

#include "common/ipc.h"

#include <cerrno>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

using Memoria = Ambiente;

// The keys the helpers are tried on: chave .. chave + 2, the test's own.
const int &chave = chaves.propria;
void *const falhou = reinterpret_cast<void *>(-1);

// What one call printed, in a child that goes on after it and ends with 7;
// the child's own failed expectations show in its standard output.
execucao so(const std::function<void()> &chamada)
{
    return em_filho([&] {
        chamada();
        return 7;
    });
}

TEST_F(Memoria, WhatOneAttachmentWritesAnotherReadsUntilRemoved)
{
    const int id = shmemcreat(chave, 4096);
    ASSERT_NE(id, -1);
    shmid_ds estado;
    ASSERT_EQ(shmctl(id, IPC_STAT, &estado), 0);
    EXPECT_EQ(estado.shm_perm.mode & 0777, 0666u);
    EXPECT_EQ(estado.shm_segsz, 4096u);

    char *escrita = static_cast<char *>(shmemat(id));
    ASSERT_NE(escrita, falhou);
    std::strcpy(escrita, "farm\xC3\xA1" "cia");
    EXPECT_EQ(shmemdet(escrita), 0);

    EXPECT_EQ(shmemget(chave, 4096), id);
    EXPECT_EQ(shmemcreat(chave, 4096), id);  // an existing segment is opened
    const char *leitura = static_cast<const char *>(shmemat(id));
    ASSERT_NE(leitura, falhou);
    EXPECT_STREQ(leitura, "farm\xC3\xA1" "cia");
    EXPECT_EQ(shmemdet(leitura), 0);
    EXPECT_EQ(shmrm(id), 0);

    EXPECT_EQ(so([] { EXPECT_EQ(shmemget(chave, 4096), -1); }), (execucao{7, "", "shmemget: No such file or directory\n"}));
}

TEST_F(Memoria, ShmallocOpensAnExistingSegmentAtLeastAsLarge)
{
    const int existente = shmget(chave, 8192, IPC_CREAT | 0600);
    ASSERT_NE(existente, -1);
    char *a = static_cast<char *>(shmat(existente, nullptr, 0));
    ASSERT_NE(a, falhou);
    a[4000] = 'x';

    int id = 0;
    char *b = static_cast<char *>(shmalloc(chave, 4096, &id));
    EXPECT_EQ(id, existente);
    ASSERT_NE(b, falhou);
    EXPECT_EQ(b[4000], 'x');
    b[10] = 'y';
    EXPECT_EQ(a[10], 'y');
    shmdt(a);
    shmdt(b);

    // A new key gets a new segment of 0666.
    int novo = -5;
    void *c = shmalloc(chave + 1, 100, &novo);
    ASSERT_NE(c, falhou);
    ASSERT_NE(novo, -1);
    shmid_ds estado;
    ASSERT_EQ(shmctl(novo, IPC_STAT, &estado), 0);
    EXPECT_EQ(estado.shm_perm.mode & 0777, 0666u);
    shmdt(c);
}

TEST_F(Memoria, ShmallocReportsWhichStepFailedAndKeepsTheSegment)
{
    ASSERT_NE(shmget(chave, 4096, IPC_CREAT | 0666), -1);
    int id = 0;
    // Larger than the existing segment: it cannot be had.
    EXPECT_EQ(so([&id] { EXPECT_EQ(shmalloc(chave, 8192, &id), falhou); EXPECT_EQ(id, -1); }),
              (execucao{7, "", "shmget: Invalid argument\n"}));

    // Had but not attached: the id is given and the segment stays.
    const int nova = chave + 2;
    EXPECT_EQ(so([nova] {
                  falha_shmat(EACCES);
                  int id_filho = -5;
                  EXPECT_EQ(shmalloc(nova, 4096, &id_filho), falhou);
                  shmid_ds estado;
                  EXPECT_NE(id_filho, -1);
                  EXPECT_EQ(shmctl(id_filho, IPC_STAT, &estado), 0);
              }),
              (execucao{7, "", "shmat: Permission denied\n"}));
    EXPECT_NE(shmget(nova, 4096, 0666), -1);
}

TEST_F(Memoria, FailuresAreReportedWithTheirLabelsAndReturned)
{
    // A new segment of no bytes is refused; shmemcreat reports with
    // shmemget's label.
    const std::vector<std::pair<std::function<void()>, std::string>> casos = {
        {[] { EXPECT_EQ(shmemcreat(chave, 0), -1); }, "shmemget: Invalid argument\n"},
        {[] { EXPECT_EQ(shmemget(chave, 4096), -1); }, "shmemget: No such file or directory\n"},
        {[] { int id; EXPECT_EQ(shmalloc(chave, 0, &id), falhou); }, "shmget: Invalid argument\n"},
        {[] { EXPECT_EQ(shmemat(-1), falhou); }, "shmat: Invalid argument\n"},
        {[] { const int local = 0; EXPECT_EQ(shmemdet(&local), -1); }, "shmdet: Invalid argument\n"},
        {[] { EXPECT_EQ(shmrm(-1), -1); }, "shmremove: Invalid argument\n"},
    };
    // A negative size is widened with its sign: on a 64-bit host, beyond any
    // segment the system allows (on a 32-bit one, -1 is 4 GiB less a byte,
    // which the system may well grant).
    auto todos = casos;
    if constexpr (sizeof(size_t) == 8)
        todos.push_back({[] { EXPECT_EQ(shmemcreat(chave, -1), -1); }, "shmemget: Invalid argument\n"});
    for (const auto &[chamada, relato] : todos)
        EXPECT_EQ(so(chamada), (execucao{7, "", relato}));
    // Counted by key, not over the whole namespace, where tests running
    // beside this one make segments of their own.
    EXPECT_EQ(shmget(chave, 0, 0), -1) << "a failed call left a segment";
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
