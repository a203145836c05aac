// procura run end to end on database files written byte by byte.
#include "apoio.h"

#include "common/ipc.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Procura : public Ambiente {
protected:
    execucao procura(const std::vector<std::string> &argumentos, const opcoes &o = {})
    {
        return corre(PROCURA, argumentos, o);
    }
    // The search semaphore as every completed run must leave it.
    void semaforo_livre()
    {
        const auto lista = conjuntos();
        ASSERT_EQ(lista.size(), 1u);
        EXPECT_EQ(lista[0].chave, chaves.procura);
        EXPECT_EQ(lista[0].semaforos, 1);
        EXPECT_EQ(lista[0].permissoes, 0666);
        EXPECT_EQ(lista[0].valor, 1);
    }
};

std::string encontrado(const std::string &nome, int stock, int vendas)
{
    return "\nMedicamento Encontrado\n\nNome " + nome + "\nStock " + std::to_string(stock) +
           "\nVendas " + std::to_string(vendas) + "\n\n";
}

TEST_F(Procura, AnswersDecidedByTheFirstRecordOfTheNameInAValidState)
{
    escreve_ficheiro(bd(), registo("outro", 1, 1, 0) +          // other names never decide
                               registo("apagado", 1, 2, 0) +    // deleted first ...
                               registo("apagado", 3, 4, 1) +    // ... hides a later available one
                               registo("valido", 9, 9, 7) +     // an invalid state is passed over
                               registo("valido", -5, 2147483647, 1) +
                               // little-endian on every host, as the file format says
                               std::string("abcdefghijk\0\0\0\0\0\x64\0\0\0\x25\0\0\0\x01\0\0\0", 28) +
                               registo(std::string(16, 'p'), 4, 4, 1) +  // no terminator
                               registo("parcial", 1, 1, 1).substr(0, 27));
    const std::vector<std::pair<std::string, std::string>> casos = {
        {"abcdefghijk", encontrado("abcdefghijk", 100, 37)},
        {"valido", encontrado("valido", -5, 2147483647)},
        {"apagado", "Medicamento Indisponivel\n"},
        {"ABCDEFGHIJK", "Medicamento Inexistente\n"},
        {"abcdefghijkl", "Medicamento Inexistente\n"},
        {"abcdefghij", "Medicamento Inexistente\n"},
        {"parcial", "Medicamento Inexistente\n"},
        {std::string(16, 'p'), encontrado(std::string(16, 'p'), 4, 4)},
        {std::string(23, 'p'), "Medicamento Inexistente\n"},
        {std::string(5000, 'p'), "Medicamento Inexistente\n"},
    };
    const std::string antes = le_ficheiro(bd());
    for (const auto &[nome, resposta] : casos) {
        const execucao e = procura({nome});
        EXPECT_EQ(e.estado, 0) << nome;
        EXPECT_EQ(e.saida, resposta) << nome;
        EXPECT_EQ(e.erros, "") << nome;
        semaforo_livre();
    }
    EXPECT_EQ(le_ficheiro(bd()), antes);
}

TEST_F(Procura, EmptyDatabaseHasNoMedicine)
{
    escreve_ficheiro(bd(), "");
    const execucao e = procura({"abc"});
    EXPECT_EQ(e.estado, 0);
    EXPECT_EQ(e.saida, "Medicamento Inexistente\n");
    semaforo_livre();
}

TEST_F(Procura, WrongArgumentCountTouchesNeitherSemaphoreNorFile)
{
    for (const auto &argumentos : {std::vector<std::string>{}, std::vector<std::string>{"a", "b"}}) {
        const execucao e = procura(argumentos);
        EXPECT_EQ(e.estado, 0);
        EXPECT_EQ(e.saida, "Argumentos Inv\xC3\xA1lidos\n");
        EXPECT_EQ(e.erros, "");
        EXPECT_TRUE(conjuntos().empty());
    }
}

TEST_F(Procura, DatabaseThatCannotBeSearchedIsReportedOnStderrWithStatus1)
{
    const execucao falta = procura({"abc"});
    EXPECT_EQ(falta.estado, 1);
    EXPECT_EQ(falta.saida, "");
    EXPECT_EQ(falta.erros, "BD.bin: No such file or directory\n");
    semaforo_livre();

    ASSERT_EQ(mkdir(bd().c_str(), 0755), 0);
    const execucao pasta = procura({"abc"});
    EXPECT_EQ(pasta.estado, 1);
    EXPECT_EQ(pasta.saida, "");
    EXPECT_EQ(pasta.erros, "BD.bin: not a regular file\n");
    ASSERT_EQ(rmdir(bd().c_str()), 0);

    // A FIFO with no writer would block an ordinary open forever.
    ASSERT_EQ(mkfifo(bd().c_str(), 0666), 0);
    const execucao fifo = procura({"abc"}, {.segundos = 10});
    EXPECT_EQ(fifo.estado, 1);
    EXPECT_EQ(fifo.saida, "");
    EXPECT_EQ(fifo.erros, "BD.bin: not a regular file\n");
    semaforo_livre();
}

TEST_F(Procura, ReadOnlyDatabaseCanBeSearchedUnreadableOneIsReported)
{
    escreve_ficheiro(bd(), registo("abc", 1, 2, 1));
    const opcoes sem_root{.sem_direitos = true};
    ASSERT_EQ(chmod(bd().c_str(), 0444), 0);
    const execucao leitura = procura({"abc"}, sem_root);
    EXPECT_EQ(leitura.estado, 0);
    EXPECT_EQ(leitura.saida, encontrado("abc", 1, 2));

    ASSERT_EQ(chmod(bd().c_str(), 0), 0);
    const execucao vedado = procura({"abc"}, sem_root);
    EXPECT_EQ(vedado.estado, 1);
    EXPECT_EQ(vedado.saida, "");
    EXPECT_EQ(vedado.erros, "BD.bin: Permission denied\n");
}

TEST_F(Procura, AnswerThatCannotBeWrittenIsAFailure)
{
    escreve_ficheiro(bd(), registo("abc", 1, 2, 1));
    const execucao e = procura({"abc"}, {.stdout_para = "/dev/full"});
    EXPECT_EQ(e.estado, 1);
    EXPECT_EQ(e.erros, "stdout: No space left on device\n");
    semaforo_livre();
}

TEST_F(Procura, UnusableSemaphoreIsReportedAndTheSearchStillRuns)
{
    ASSERT_NE(semget(chaves.procura, 1, IPC_CREAT | 0), -1);  // a set that not even its owner may use
    escreve_ficheiro(bd(), registo("abc", 1, 2, 0));
    const execucao e = procura({"abc"}, {.sem_direitos = true});
    EXPECT_EQ(e.estado, 0);
    EXPECT_EQ(e.saida, "Erro no P(-1) errno=22\nMedicamento Indisponivel\nErro no V(-1) errno=22\n");
    EXPECT_EQ(e.erros, "Erro no get_semaforo: Permission denied\nP: Invalid argument\nV: Invalid argument\n");
}

}  // namespace
