// alterna run end to end: what it prints and exactly which bytes it changes.
#include "apoio.h"
#include "falhas.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string apagado_msg = "\nmedicamento apagado\n\n";
const std::string recuperado_msg = "\nficheiro recuperado\n\n";

class Alterna : public Ambiente {
protected:
    execucao alterna(const std::vector<std::string> &argumentos, const opcoes &o = {})
    {
        return corre(ALTERNA, argumentos, o);
    }
    // The state semaphore as every completed run must leave it.
    void semaforo_livre()
    {
        const int id = semget(chaves.alterna, 0, 0);
        ASSERT_NE(id, -1);
        EXPECT_EQ(semctl(id, 0, GETVAL), 1);
    }
};

const opcoes sem_root{.sem_direitos = true};

TEST_F(Alterna, DeleteAndRestoreFlipOnlyTheFirstRecordsState)
{
    const std::string base = registo("outro", 1, 1, 1) + registo("alvo", 100, 37, 1) +
                             registo("alvo", 5, 5, 0) + registo("fim", 2, 2, 1);
    escreve_ficheiro(bd(), base);
    std::string apagado_bd = base;
    apagado_bd[tamanho_registo + offsetof(medicamento, estado)] = 0;

    const execucao apaga = alterna({"alvo", "argumento", "a mais"});
    EXPECT_EQ(apaga.estado, 0);
    EXPECT_EQ(apaga.saida, apagado_msg);
    EXPECT_EQ(apaga.erros, "");
    EXPECT_EQ(le_ficheiro(bd()), apagado_bd);
    EXPECT_EQ(corre(PROCURA, {"alvo"}).saida, "Medicamento Indisponivel\n");

    const execucao recupera = alterna({"alvo"});
    EXPECT_EQ(recupera.estado, 0);
    EXPECT_EQ(recupera.saida, recuperado_msg);
    EXPECT_EQ(le_ficheiro(bd()), base);
    EXPECT_EQ(corre(PROCURA, {"alvo"}).saida,
              "\nMedicamento Encontrado\n\nNome alvo\nStock 100\nVendas 37\n\n");
    semaforo_livre();
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
        const execucao e = alterna({nome});
        EXPECT_EQ(e.estado, 0) << nome.substr(0, 20);
        EXPECT_EQ(e.saida, resposta) << nome.substr(0, 20);
        EXPECT_EQ(e.erros, "");
        EXPECT_EQ(le_ficheiro(bd()), base);
    }
    semaforo_livre();
}

TEST_F(Alterna, NoArgumentTouchesNeitherSemaphoreNorFile)
{
    const execucao e = alterna({});
    EXPECT_EQ(e.estado, 0);
    EXPECT_EQ(e.saida, "Argumentos Inv\xC3\xA1lidos\n");
    EXPECT_TRUE(conjuntos().empty());
}

TEST_F(Alterna, DatabaseThatCannotBeUpdatedIsNotFound)
{
    const auto nao_encontrado = [&](const opcoes &o, const std::string &erro) {
        const execucao e = alterna({"abc"}, o);
        EXPECT_EQ(e.estado, 0);
        EXPECT_EQ(e.saida, "Ficheiro nao encontrado\n");
        EXPECT_EQ(e.erros, "BD.bin: " + erro + "\n");
    };
    nao_encontrado({}, "No such file or directory");
    ASSERT_EQ(mkfifo(bd().c_str(), 0666), 0);
    nao_encontrado({.segundos = 10}, "not a regular file");
    ASSERT_EQ(unlink(bd().c_str()), 0);

    const std::string base = registo("abc", 1, 1, 1);
    escreve_ficheiro(bd(), base);
    ASSERT_EQ(chmod(bd().c_str(), 0444), 0);
    nao_encontrado(sem_root, "Permission denied");
    EXPECT_EQ(le_ficheiro(bd()), base);
}

TEST_F(Alterna, FailedWriteBackIsReportedAndLeavesTheRecord)
{
    // The record at byte 25,200, past a file size limit of 10 KiB, which
    // would otherwise kill the run with SIGXFSZ.
    std::string base;
    for (int i = 0; i < 900; ++i)
        base += registo("outro", i, i, 1);
    base += registo("abc", 1, 1, 1);
    escreve_ficheiro(bd(), base);
    const std::pair<std::function<void()>, std::string> casos[] = {
        {[] { falha_escritas(EIO); }, "BD.bin: Input/output error\n"},
        {[] {
             const rlimit limite = {10 * 1024, 10 * 1024};
             setrlimit(RLIMIT_FSIZE, &limite);
         },
         "BD.bin: File too large\n"},
    };
    for (const auto &[falha, erros] : casos) {
        const execucao e = alterna({"abc"}, {.antes_de_exec = falha});
        EXPECT_EQ(e.estado, 1) << erros;
        EXPECT_EQ(e.saida, "");
        EXPECT_EQ(e.erros, erros);
        EXPECT_EQ(le_ficheiro(bd()), base);
    }
    semaforo_livre();
}

TEST_F(Alterna, FailedSyncIsReportedAndNoSuccessMessage)
{
    // A write of the page to the disk that fails shows only to fdatasync or
    // fsync; until it succeeds the change is not reported as made.
    escreve_ficheiro(bd(), registo("abc", 1, 1, 1));
    const execucao e = alterna({"abc"}, {.antes_de_exec = [] {
        falha_chamada({SYS_fdatasync, SYS_fsync}, EIO);
    }});
    EXPECT_EQ(e.estado, 1);
    EXPECT_EQ(e.saida, "");
    EXPECT_EQ(e.erros, "BD.bin: Input/output error (the record's state on disk is now uncertain)\n");
    semaforo_livre();
}

TEST_F(Alterna, RecordBeyondTwoGibibytesIsWrittenBackInPlace)
{
    // A sparse file of 80,000,001 records (2.24 GB): record 80,000,000 starts
    // past 2^31 bytes, where a write-back offset computed in 32 bits wraps.
    constexpr int64_t j = 80'000'000;
    std::string r = registo("fundo", 7, 8, 1);
    int fd = open(bd().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(pwrite(fd, r.data(), r.size(), j * tamanho_registo), tamanho_registo);
    ASSERT_EQ(fsync(fd), 0);
    struct stat antes, depois;
    ASSERT_EQ(fstat(fd, &antes), 0);

    const execucao e = alterna({"fundo"});
    EXPECT_EQ(e.estado, 0);
    EXPECT_EQ(e.saida, apagado_msg);
    ASSERT_EQ(fstat(fd, &depois), 0);
    EXPECT_EQ(depois.st_size, antes.st_size);
    EXPECT_EQ(depois.st_blocks, antes.st_blocks) << "something was written outside the record";
    std::string lido(sizeof(medicamento), '\0');
    ASSERT_EQ(pread(fd, lido.data(), lido.size(), j * tamanho_registo), tamanho_registo);
    close(fd);
    r[offsetof(medicamento, estado)] = 0;
    EXPECT_EQ(lido, r);
}

TEST_F(Alterna, DiagnosticNeverLandsInTheDatabase)
{
    // With standard error closed the file would otherwise be opened on
    // descriptor 2, and the report of the failed write-back written over
    // its first record.
    const std::string base = registo("abc", 1, 1, 1);
    escreve_ficheiro(bd(), base);
    const execucao e = alterna({"abc"}, {.antes_de_exec = [] {
        close(STDERR_FILENO);
        falha_escritas(EIO);
    }});
    EXPECT_EQ(e.estado, 1);
    EXPECT_EQ(e.saida, "");
    EXPECT_EQ(le_ficheiro(bd()), base);
}

TEST_F(Alterna, NoChangeWithoutTheLock)
{
    const std::string base = registo("abc", 1, 1, 1);
    escreve_ficheiro(bd(), base);

    // A set that not even its owner may open.
    const int alheio = semget(chaves.alterna, 1, IPC_CREAT | 0);
    ASSERT_NE(alheio, -1);
    const execucao vedado = alterna({"abc"}, sem_root);
    EXPECT_EQ(vedado.estado, 1);
    EXPECT_EQ(vedado.saida, "");
    EXPECT_EQ(vedado.erros, "Erro no get_semaforo: Permission denied\n");
    EXPECT_EQ(le_ficheiro(bd()), base);

    // A lock held elsewhere whose set is removed while the run waits for it.
    ASSERT_EQ(semctl(alheio, 0, IPC_RMID), 0);
    const int preso = semget(chaves.alterna, 1, IPC_CREAT | 0666);
    ASSERT_NE(preso, -1);
    const pid_t pid = lanca(ALTERNA, {"abc"});
    usleep(200000);
    ASSERT_EQ(semctl(preso, 0, IPC_RMID), 0);
    const execucao removido = espera(pid);
    EXPECT_EQ(removido.estado, 1);
    EXPECT_EQ(removido.saida, "Erro no P(" + std::to_string(preso) + ") errno=43\n");
    EXPECT_EQ(removido.erros, "P: Identifier removed\n");
    EXPECT_EQ(le_ficheiro(bd()), base);
}

TEST_F(Alterna, ConcurrentRunsNeverLoseAChange)
{
    std::string base;
    // The target is last of 200,000 records, so that every run spends a
    // while between reading the record and writing it back.
    for (int i = 0; i < 200000; ++i)
        base += registo(i == 199999 ? "alvo" : "outro", i, i, 1);
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
    semaforo_livre();
}

}  // namespace
