// BD.bin as each program finds it: not there, not a regular file, not
// readable or not writable, or readable only by pread, never mapped.
#include "apoio.h"
#include "falhas.h"

#include <cerrno>
#include <filesystem>
#include <optional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class Ficheiro : public Ambiente {
protected:
    void ida_e_volta(const opcoes &o, const char *como);
};

const std::string nao_encontrado = "Ficheiro nao encontrado\n";

// Leaves a socket bound at `caminho`, as a server listening there would.
bool escuta_em(const std::string &caminho)
{
    sockaddr_un onde{};
    onde.sun_family = AF_UNIX;
    caminho.copy(onde.sun_path, sizeof onde.sun_path - 1);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool feito = s != -1 && bind(s, reinterpret_cast<const sockaddr *>(&onde), sizeof onde) == 0;
    close(s);
    return feito;
}

TEST_F(Ficheiro, FileThatCannotBeUsedIsReportedByEachProgram)
{
    const std::string base = registo("abc", 1, 2, 1);
    const std::string falta = "BD.bin: No such file or directory\n", vedado = "BD.bin: Permission denied\n",
                      nao_regular = "BD.bin: not a regular file\n", sem_abrir = "can't open: : Permission denied\n",
                      ocupado = "Resource temporarily unavailable\n";
    struct caso {
        const char *como;
        std::function<void()> prepara;
        opcoes o;
        execucao procura, alterna;
        std::optional<execucao> povoa;  // none: povoa creates the file
    };
    const auto modo = [this, base](mode_t m) {
        return [this, base, m] {
            escreve_ficheiro(bd(), base);
            ASSERT_EQ(chmod(bd().c_str(), m), 0);
        };
    };
    const caso casos[] = {
        {"missing", [] {}, {}, {1, "", falta}, {0, nao_encontrado, falta}, std::nullopt},
        {"a directory", [this] { ASSERT_EQ(mkdir(bd().c_str(), 0755), 0); }, {},
         {1, "", nao_regular}, {0, nao_encontrado, "BD.bin: Is a directory\n"},
         execucao{255, "", "can't open: : Is a directory\n"}},
        // A FIFO with no writer would block an ordinary open for ever, and
        // take povoa's records until full.
        {"a FIFO", [this] { ASSERT_EQ(mkfifo(bd().c_str(), 0666), 0); }, {.segundos = 10},
         {1, "", nao_regular}, {0, nao_encontrado, nao_regular}, execucao{255, "", nao_regular}},
        {"read only", modo(0444), sem_root, {0, encontrado("abc", 1, 2), ""}, {0, nao_encontrado, vedado},
         execucao{255, "", sem_abrir}},
        {"unreadable", modo(0), sem_root, {1, "", vedado}, {0, nao_encontrado, vedado}, execucao{255, "", sem_abrir}},
        {"not creatable", [this] { ASSERT_EQ(chmod(dir.c_str(), 0555), 0); }, sem_root,
         {1, "", falta}, {0, nao_encontrado, falta}, execucao{255, "", sem_abrir}},
        // Opened, a socket is not a file at all (ENXIO).
        {"a socket", [this] { ASSERT_TRUE(escuta_em(bd())); }, {}, {1, "", nao_regular},
         {0, nao_encontrado, nao_regular}, execucao{255, "", nao_regular}},
        // A file system whose open says EAGAIN (FUSE): the error it is, at
        // once, never taken for a lease to wait out.
        {"an open that fails with EAGAIN", [this, base] { escreve_ficheiro(bd(), base); },
         {.antes_de_exec = [] { precarrega(ESCRITAS_VISTAS); }, .segundos = 10,
          .ambiente = {{"ABERTURAS_FALHAM", std::to_string(EAGAIN)}}},
         {1, "", "BD.bin: " + ocupado}, {0, nao_encontrado, "BD.bin: " + ocupado},
         execucao{255, "", "can't open: : " + ocupado}},
    };
    for (const caso &c : casos) {
        c.prepara();
        const bool regular = std::filesystem::is_regular_file(bd());
        const auto corrida = [&](const char *programa, const std::vector<std::string> &argumentos) {
            execucao e = corre(programa, argumentos, c.o);
            e.erros = erros_sem_o_emulador(e.erros);
            return e;
        };
        EXPECT_EQ(corrida(PROCURA, {"abc"}), c.procura) << c.como;
        EXPECT_EQ(corrida(ALTERNA, {"abc"}), c.alterna) << c.como;
        if (c.povoa) {
            EXPECT_EQ(corrida(POVOA_TESTE, {}), *c.povoa) << c.como;
        }
        semaforo_livre(chaves.procura);
        semaforo_livre(chaves.alterna);
        // Nothing was written, nor created.
        ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
        if (regular) {
            ASSERT_EQ(chmod(bd().c_str(), 0644), 0);
            EXPECT_EQ(le_ficheiro(bd()), base) << c.como;
        } else {
            EXPECT_FALSE(std::filesystem::is_regular_file(bd())) << c.como;
        }
        std::filesystem::remove(bd());
    }
}

TEST_F(Ficheiro, WrongArgumentCountTouchesNeitherSemaphoreNorFile)
{
    for (const auto &[programa, argumentos] : {std::pair{PROCURA, std::vector<std::string>{}},
                                               std::pair{PROCURA, std::vector<std::string>{"a", "b"}},
                                               std::pair{ALTERNA, std::vector<std::string>{}}}) {
        EXPECT_EQ(corre(programa, argumentos), (execucao{0, "Argumentos Inv\xC3\xA1lidos\n", ""})) << programa;
        EXPECT_TRUE(conjuntos().empty());
        EXPECT_FALSE(std::filesystem::exists(bd()));
    }
}

// Searches, deletes, searches, restores and searches again the record
// after 100,000 others, past the first piece, so that several pieces are
// read: the answers, and the file's bytes at the end, are those of any run.
void Ficheiro::ida_e_volta(const opcoes &o, const char *como)
{
    const std::string base = outros(100000) + registo("abc", 1, 2, 1);
    escreve_ficheiro(bd(), base);
    EXPECT_EQ(corre(PROCURA, {"abc"}, o), (execucao{0, encontrado("abc", 1, 2), ""})) << como;
    EXPECT_EQ(corre(ALTERNA, {"abc"}, o), (execucao{0, "\nmedicamento apagado\n\n", ""})) << como;
    EXPECT_EQ(corre(PROCURA, {"abc"}, o), (execucao{0, "Medicamento Indisponivel\n", ""})) << como;
    EXPECT_EQ(corre(ALTERNA, {"abc"}, o), (execucao{0, "\nficheiro recuperado\n\n", ""})) << como;
    EXPECT_EQ(corre(PROCURA, {"zzz"}, o), (execucao{0, "Medicamento Inexistente\n", ""})) << como;
    EXPECT_EQ(le_ficheiro(bd()), base) << como;
}

TEST_F(Ficheiro, FileThatCannotBeMappedIsReadWithPread)
{
    const std::pair<const char *, std::function<void()>> casos[] = {
        {"a file system that cannot map", [] { falha_mmap_partilhado(ENODEV); }},
        {"no address space for the pieces", [] { falha_mmap_de(3 * bytes_por_peca, ENOMEM); }},
#ifndef SANITIZADO  // a sanitized build cannot start under a small address-space limit
        {"a limit on the address space", [] {
             const rlimit limite{6000 * 1024, 6000 * 1024};
             setrlimit(RLIMIT_AS, &limite);
         }},
#endif
    };
    for (const auto &[como, falha] : casos)
        ida_e_volta({.antes_de_exec = falha}, como);
}

TEST_F(Ficheiro, EachWayOfReadingGivesTheSameAnswersAndBytes)
{
    // Every piece mapped, every piece read with pread, the two by turns,
    // and as the reader chooses.
    for (const char *via : {"mapa", "leitura", "alterna", "escolhe"})
        ida_e_volta({.ambiente = {{"FARMACIA_LEITURA", via}}}, via);
}

}  // namespace
