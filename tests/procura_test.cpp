// procura run end to end on database files written byte by byte.
#include "apoio.h"

#include <sys/ipc.h>
#include <sys/sem.h>

namespace {

using Procura = Ambiente;

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
        EXPECT_EQ(corre(PROCURA, {nome}), (execucao{0, resposta, ""})) << nome;
        semaforo_livre(chaves.procura);
    }
    EXPECT_EQ(le_ficheiro(bd()), antes);
    escreve_ficheiro(bd(), "");
    EXPECT_EQ(corre(PROCURA, {"abc"}), (execucao{0, "Medicamento Inexistente\n", ""}));
    EXPECT_EQ(conjuntos().size(), 1u);
}

TEST_F(Procura, AnswerThatCannotBeWrittenIsAFailure)
{
    escreve_ficheiro(bd(), registo("abc", 1, 2, 1));
    EXPECT_EQ(corre(PROCURA, {"abc"}, {.stdout_para = "/dev/full"}), (execucao{1, "", "stdout: No space left on device\n"}));
    semaforo_livre(chaves.procura);
}

TEST_F(Procura, UnusableSemaphoreIsReportedAndTheSearchStillRuns)
{
    ASSERT_NE(semget(chaves.procura, 1, IPC_CREAT | 0), -1);  // a set that not even its owner may use
    escreve_ficheiro(bd(), registo("abc", 1, 2, 0));
    EXPECT_EQ(corre(PROCURA, {"abc"}, sem_root),
              (execucao{0, "Erro no P(-1) errno=22\nMedicamento Indisponivel\nErro no V(-1) errno=22\n",
                        "Erro no get_semaforo: Permission denied\nP: Invalid argument\nV: Invalid argument\n"}));
}

}  // namespace
