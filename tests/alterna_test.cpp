// alterna run end to end: what it prints and exactly which bytes it changes.
#include "apoio.h"
#include "falhas.h"

#include <cerrno>
#include <fcntl.h>
#include <tuple>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Alterna = Ambiente;

TEST_F(Alterna, DeleteAndRestoreFlipOnlyTheFirstRecordsState)
{
    const std::string base = registo("outro", 1, 1, 1) + registo("alvo", 100, 37, 1) +
                             registo("alvo", 5, 5, 0) + registo("fim", 2, 2, 1);
    escreve_ficheiro(bd(), base);
    std::string apagado_bd = base;
    apagado_bd[tamanho_registo + offsetof(medicamento, estado)] = 0;

    EXPECT_EQ(corre(ALTERNA, {"alvo", "argumento", "a mais"}), (execucao{0, apagado_msg, ""}));
    EXPECT_EQ(le_ficheiro(bd()), apagado_bd);
    EXPECT_EQ(corre(PROCURA, {"alvo"}).saida, "Medicamento Indisponivel\n");
    EXPECT_EQ(corre(ALTERNA, {"alvo"}), (execucao{0, recuperado_msg, ""}));
    EXPECT_EQ(le_ficheiro(bd()), base);
    EXPECT_EQ(corre(PROCURA, {"alvo"}).saida, encontrado("alvo", 100, 37));
    semaforo_livre(chaves.alterna);
}

TEST_F(Alterna, UnmatchedOrInvalidFirstRecordWritesNothing)
{
    const std::string base = registo("estranho", 1, 1, 7) + registo("estranho", 2, 2, 1) +
                             registo("abc", 3, 3, 1) + registo("abc", 4, 4, 1).substr(0, 20);
    escreve_ficheiro(bd(), base);
    const std::vector<std::pair<std::string, std::string>> casos = {
        {"estranho", "\nEstado Inv\xC3\xA1lido\n\n"},  // a later valid record is not looked at
        {"ABC", ""},
        {"abcd", ""},
        {std::string(5000, 'a'), ""},  // longer than the name buffer
    };
    for (const auto &[nome, resposta] : casos) {
        EXPECT_EQ(corre(ALTERNA, {nome}), (execucao{0, resposta, ""})) << nome.substr(0, 20);
        EXPECT_EQ(le_ficheiro(bd()), base);
    }
    semaforo_livre(chaves.alterna);
}

TEST_F(Alterna, FailedWriteBackIsReportedAndLeavesTheRecord)
{
    // The record at byte 25,200, past a file size limit of 10 KiB, which
    // would otherwise kill the run with SIGXFSZ.
    const std::string base = outros(900) + registo("abc", 1, 1, 1);
    escreve_ficheiro(bd(), base);
    const std::pair<std::function<void()>, std::string> casos[] = {
        {[] { falha_escritas(EIO); }, "BD.bin: Input/output error\n"},
        {[] {
             const rlimit limite = {10 * 1024, 10 * 1024};
             setrlimit(RLIMIT_FSIZE, &limite);
         },
         "BD.bin: File too large\n"},
        // A write that fails only once it has reached the disk.
        {[] { falha_chamada({SYS_fdatasync, SYS_fsync}, EIO); },
         "BD.bin: Input/output error (the record's state on disk is now uncertain)\n"},
        // With standard error closed the file would otherwise be opened on
        // descriptor 2, and the report written over its first record.
        {[] {
             close(STDERR_FILENO);
             falha_escritas(EIO);
         },
         ""},
    };
    for (const auto &[falha, erros] : casos) {
        EXPECT_EQ(corre(ALTERNA, {"abc"}, {.antes_de_exec = falha}), (execucao{1, "", erros}));
        if (erros.find("uncertain") == std::string::npos) {
            EXPECT_EQ(le_ficheiro(bd()), base) << erros;
        }
        escreve_ficheiro(bd(), base);
    }
    semaforo_livre(chaves.alterna);
}

TEST_F(Alterna, WriteCutShortIsTheChangeOnceTheStateByteIsInTheFile)
{
    // A file size limit that cuts the write-back of record 36 inside it:
    // past its state byte the new record is in the file, and must be
    // reported made; short of it the file holds the old one.
    const std::string base = outros(36) + registo("abc", 1, 1, 1) + outros(43);
    std::string apagado_bd = base;
    const int64_t estado = 36 * tamanho_registo + offsetof(medicamento, estado);
    apagado_bd[static_cast<size_t>(estado)] = 0;
    const std::tuple<int64_t, execucao, std::string> casos[] = {
        {estado + 1, {0, apagado_msg, ""}, apagado_bd},
        {estado, {1, "", "BD.bin: File too large\n"}, base},
    };
    for (const auto &[limite, resposta, depois] : casos) {
        escreve_ficheiro(bd(), base);
        const rlim_t bytes = static_cast<rlim_t>(limite);
        const opcoes o{.antes_de_exec = [bytes] {
            const rlimit r{bytes, bytes};
            setrlimit(RLIMIT_FSIZE, &r);
        }};
        EXPECT_EQ(corre(ALTERNA, {"abc"}, o), resposta) << limite;
        EXPECT_TRUE(mesmos_registos(le_ficheiro(bd()), depois)) << limite;
    }
}

TEST_F(Alterna, RecordBeyondTwoGibibytesIsReadAndWrittenBackInPlace)
{
    // A sparse file of 80,000,001 records (2.24 GB): record 80,000,000 starts
    // past 2^31 bytes, where an offset computed in 32 bits wraps, in a read
    // or in the write-back.
    constexpr int64_t j = 80'000'000;
    std::string r = registo("fundo", 7, 8, 1);
    int fd = open(bd().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(pwrite(fd, r.data(), r.size(), j * tamanho_registo), tamanho_registo);
    ASSERT_EQ(fsync(fd), 0);
    struct stat antes, depois;
    ASSERT_EQ(fstat(fd, &antes), 0);

    EXPECT_EQ(corre(PROCURA, {"fundo"}), (execucao{0, encontrado("fundo", 7, 8), ""}));
    EXPECT_EQ(corre(ALTERNA, {"fundo"}), (execucao{0, apagado_msg, ""}));
    ASSERT_EQ(fstat(fd, &depois), 0);
    EXPECT_EQ(depois.st_size, antes.st_size);
    EXPECT_EQ(depois.st_blocks, antes.st_blocks) << "something was written outside the record";
    std::string lido(sizeof(medicamento), '\0');
    ASSERT_EQ(pread(fd, lido.data(), lido.size(), j * tamanho_registo), tamanho_registo);
    close(fd);
    r[offsetof(medicamento, estado)] = 0;
    EXPECT_EQ(lido, r);
}

TEST_F(Alterna, NoChangeWithoutTheLock)
{
    const std::string base = registo("abc", 1, 1, 1);
    escreve_ficheiro(bd(), base);

    // A set that not even its owner may open.
    const int alheio = semget(chaves.alterna, 1, IPC_CREAT | 0);
    ASSERT_NE(alheio, -1);
    EXPECT_EQ(corre(ALTERNA, {"abc"}, sem_root), (execucao{1, "", "Erro no get_semaforo: Permission denied\n"}));
    EXPECT_EQ(le_ficheiro(bd()), base);

    // A lock held elsewhere whose set is removed while the run waits for it.
    ASSERT_EQ(semctl(alheio, 0, IPC_RMID), 0);
    const int preso = conjunto_preso(chaves.alterna);
    const pid_t pid = lanca(ALTERNA, {"abc"});
    usleep(200000);
    ASSERT_EQ(semctl(preso, 0, IPC_RMID), 0);
    EXPECT_EQ(espera(pid), (execucao{1, "Erro no P(" + std::to_string(preso) + ") errno=43\n", "P: Identifier removed\n"}));
    EXPECT_EQ(le_ficheiro(bd()), base);
}

TEST_F(Alterna, ConcurrentRunsNeverLoseAChange)
{
    // The target is last of 200,000 records, so that every run spends a
    // while between reading the record and writing it back.
    const std::string base = outros(199999) + registo("alvo", 199999, 199999, 1);
    escreve_ficheiro(bd(), base);
    constexpr int k = 20;
    // Every run waits at the gate until all are launched, then all start at once.
    int portao[2];
    ASSERT_EQ(pipe(portao), 0);
    const opcoes juntos{.antes_de_exec = [&portao] {
        char c;
        close(portao[1]);
        while (read(portao[0], &c, 1) > 0) {
        }
        close(portao[0]);
    }};
    std::vector<pid_t> corridas;
    for (int vez = 0; vez < 2 * k; ++vez)
        corridas.push_back(lanca(ALTERNA, {"alvo"}, juntos, vez));
    close(portao[0]);
    close(portao[1]);
    int apagados = 0, recuperados = 0;
    for (int vez = 0; vez < 2 * k; ++vez) {
        const execucao e = espera(corridas[static_cast<size_t>(vez)], {}, vez);
        EXPECT_EQ(e.estado, 0);
        apagados += e.saida == apagado_msg;
        recuperados += e.saida == recuperado_msg;
    }
    EXPECT_EQ(apagados, k);
    EXPECT_EQ(recuperados, k);
    EXPECT_EQ(le_ficheiro(bd()), base);
    semaforo_livre(chaves.alterna);
}

}  // namespace
