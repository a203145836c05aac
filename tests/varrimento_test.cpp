// The reader: which records it hands out, and that a changing file
// neither makes it hand out records that were not there nor keeps it going.
#include "apoio.h"

#include "common/ficheiro.h"
#include "common/leitor.h"
#include "common/varrimento.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Varrimento : public Diretorio {
protected:
    // Reads BD.bin for `nome` with the reader itself: the indices it hands
    // out, and the last record. `depois(k)` runs after the k-th record is
    // handed out, between two reads, as a program's test would.
    std::vector<int64_t> le(std::string_view nome, const std::function<void(size_t)> &depois = {})
    {
        std::vector<int64_t> indices;
        const int fd = open(bd().c_str(), O_RDONLY);
        EXPECT_TRUE(fd != -1 && comeca_leitura(fd, nome, modo));
        int64_t j;
        lido l;
        while ((l = proximo(ultimo, j)) == lido::registo) {
            indices.push_back(j);
            if (depois)
                depois(indices.size());
        }
        EXPECT_EQ(l, lido::fim);
        acaba_leitura();
        close(fd);
        return indices;
    }
    medicamento ultimo;
    modo_de_leitura modo = modo_de_leitura::escolhe;
};
using indices = std::vector<int64_t>;

// The reader's tests, each run once for each way the reader may be asked to
// take the pieces (common/escolha.h): the records it hands out, and what a
// changing file does, are the same whichever way, and when it changes ways
// piece by piece.
class VarrimentoEmCadaVia : public Varrimento, public ::testing::WithParamInterface<modo_de_leitura> {
protected:
    void SetUp() override
    {
        Varrimento::SetUp();
        modo = GetParam();
    }
};
std::string nome_da_via(const ::testing::TestParamInfo<modo_de_leitura> &via)
{
    const char *nomes[] = {"escolhe", "mapa", "leitura", "alterna"};
    return nomes[static_cast<int>(via.param)];
}
INSTANTIATE_TEST_SUITE_P(Vias, VarrimentoEmCadaVia,
                         ::testing::Values(modo_de_leitura::escolhe, modo_de_leitura::so_mapa,
                                           modo_de_leitura::so_leitura, modo_de_leitura::alterna),
                         nome_da_via);

// Records per piece, and the one that starts in the first piece and ends
// in the second.
constexpr int64_t por_peca = bytes_por_peca / tamanho_registo;
static_assert(bytes_por_peca % tamanho_registo != 0, "some record straddles two pieces");

TEST_P(VarrimentoEmCadaVia, MaskedPrefixNeverHidesOrInventsAMatch)
{
    // For every name length, a record matches only the exact name: a change
    // in any byte before the terminator, one character more or less, all
    // turn it away, while bytes after the terminator do not count.
    const std::string letras = "abcdefghijklmnop";
    for (size_t n = 0; n <= 16; ++n) {
        const std::string nome = letras.substr(0, n);
        std::string ficheiro;
        for (size_t k = 0; k < n; ++k) {
            std::string outro = nome;
            outro[k] = static_cast<char>(outro[k] ^ 0x20);
            ficheiro += registo(outro, 0, 0, 1);
        }
        if (n > 0)
            ficheiro += registo(nome.substr(0, n - 1), 0, 0, 1);
        if (n < 16)
            ficheiro += registo(nome + "q", 0, 0, 1);
        const std::string com_lixo = (nome + std::string(1, '\0') + "lixo").substr(0, 16);
        ficheiro += registo(com_lixo, 0, 0, 1);
        escreve_ficheiro(bd(), ficheiro);
        EXPECT_EQ(le(nome), indices{static_cast<int64_t>(ficheiro.size() / tamanho_registo - 1)}) << "length " << n;
        EXPECT_EQ(std::string(ultimo.nome, 16), com_lixo + std::string(16 - com_lixo.size(), '\0'));
    }
}

TEST_P(VarrimentoEmCadaVia, RecordsAreHandedOutInOrderAcrossPieces)
{
    // Three records of the name, the second of them the one that straddles
    // the first two pieces, and the third in the second piece. A record
    // named only once, the straddling one, is read whole from both.
    std::string ficheiro;
    for (int64_t i = 0; i < por_peca + 20000; ++i) {
        const bool alvo = i == 3 || i == por_peca || i == por_peca + 5000;
        ficheiro += registo(alvo ? "alvo" : "outro", static_cast<int32_t>(i), 77, i == por_peca + 5000);
    }
    escreve_ficheiro(bd(), ficheiro);
    EXPECT_EQ(le("alvo"), (indices{3, por_peca, por_peca + 5000}));
    EXPECT_EQ(ordem_do_ficheiro(ultimo.stock), por_peca + 5000);
    ficheiro.replace(static_cast<size_t>(por_peca * tamanho_registo), 16, std::string("sobre\0\0\0\0\0\0\0\0\0\0\0", 16));
    escreve_ficheiro(bd(), ficheiro);
    EXPECT_EQ(le("sobre"), indices{por_peca});
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&ultimo), sizeof ultimo),
              registo("sobre", static_cast<int32_t>(por_peca), 77, 0));
}

TEST_P(VarrimentoEmCadaVia, EveryPositionIsVisitedAndNoPartialRecord)
{
    // Records are tested in fours: a match at any place of a four, or among
    // the last records that make no four, is found, and a rejected match
    // does not hide the next one in the same four. An empty file holds no
    // record, nor does a trailing partial one count.
    for (const std::string &nenhum : {std::string(), registo("x", 0, 0, 1) + registo("alvo", 0, 0, 1).substr(0, 27)}) {
        escreve_ficheiro(bd(), nenhum);
        EXPECT_EQ(le("alvo"), indices{});
    }
    for (int n = 1; n <= 11; ++n) {
        for (int alvo = 0; alvo < n; ++alvo) {
            std::string ficheiro;
            for (int i = 0; i < n; ++i)
                ficheiro += registo(i == alvo ? "alvo" : "alvx", i, 0, 1);
            escreve_ficheiro(bd(), ficheiro);
            EXPECT_EQ(le("alvo"), indices{alvo}) << n << " records";
        }
    }
    escreve_ficheiro(bd(), registo("x", 0, 0, 1) + registo("alvo", 1, 0, 0) + registo("alvo", 2, 0, 1) +
                               registo("alvo", 3, 0, 1));
    EXPECT_EQ(le("alvo"), (indices{1, 2, 3}));
}

// A SIGBUS that reached the program's own handler would have killed it.
void outro_sigbus(int)
{
    _exit(86);
}

TEST_P(VarrimentoEmCadaVia, FileCutShortUnderAMappedPieceEndsTheReadingWithoutKillingIt)
{
    // Cut to 40,000 records and 10 bytes while the reader is in the first
    // piece: the pages of that piece past the new end fault when the reader
    // reaches them, and a fault that is not caught kills the program.
    std::string ficheiro;
    for (int i = 0; i < 100000; ++i)
        ficheiro += registo(i == 0 || i == 60000 || i == 75000 ? "alvo" : "outro", i, 0, i == 0 ? 7 : 1);
    escreve_ficheiro(bd(), ficheiro);
    const auto corta_apos_o_primeiro = [&](size_t k) {
        if (k == 1) {
            EXPECT_EQ(truncate(bd().c_str(), 40000 * tamanho_registo + 10), 0);
        }
    };
    struct sigaction proprio {}, depois;
    proprio.sa_handler = outro_sigbus;
    ASSERT_EQ(sigaction(SIGBUS, &proprio, nullptr), 0);
    EXPECT_EQ(le("alvo", corta_apos_o_primeiro), indices{0});
    // The program's own handling of SIGBUS is given back.
    ASSERT_EQ(sigaction(SIGBUS, nullptr, &depois), 0);
    EXPECT_EQ(depois.sa_handler, outro_sigbus);
    signal(SIGBUS, SIG_DFL);

    // Nor when the program was started with SIGBUS blocked (the mask
    // survives exec), which would make a fault kill it whatever its
    // handler; its mask is given back.
    escreve_ficheiro(bd(), ficheiro);
    const execucao bloqueado = em_filho([&] {
        sigset_t so_sigbus, depois_de_ler;
        sigemptyset(&so_sigbus);
        sigaddset(&so_sigbus, SIGBUS);
        sigprocmask(SIG_BLOCK, &so_sigbus, nullptr);
        const bool certo = le("alvo", corta_apos_o_primeiro) == indices{0};
        sigprocmask(SIG_BLOCK, nullptr, &depois_de_ler);
        return certo && sigismember(&depois_de_ler, SIGBUS) == 1 ? 0 : 1;
    });
    EXPECT_EQ(bloqueado.estado, 0) << bloqueado.erros;

    // The records still in the file after the cut are visited.
    ficheiro.replace(39999 * tamanho_registo, tamanho_registo, registo("alvo", 39999, 0, 1));
    escreve_ficheiro(bd(), ficheiro);
    EXPECT_EQ(le("alvo", corta_apos_o_primeiro), (indices{0, 39999}));
    EXPECT_EQ(ordem_do_ficheiro(ultimo.stock), 39999);
}

TEST_F(Varrimento, SigbusSentByAProcessIsNotTakenForAShrinkingFile)
{
    // Taken for a fault in the window, a SIGBUS that another process sends
    // would end a scan early, and a medicine in the file would be reported
    // absent; it must end the program as it always did.
    std::string ficheiro;
    for (int i = 0; i < 200000; ++i)
        ficheiro += registo(i == 199999 ? "alvo" : "outro", i, 0, 1);
    escreve_ficheiro(bd(), ficheiro);
    // Each scanning child is signalled while it reads a window, where the
    // signal could be taken for a fault: it is stopped with BD.bin mapped
    // (seen in /proc/PID/maps) and outside any system call (the mapping
    // exists during mmap too, before the scan reads it), signalled, and let
    // go on.
    const auto mapeia_bd = [&](pid_t pid) {
        return le_ficheiro("/proc/" + std::to_string(pid) + "/maps").find(bd()) != std::string::npos;
    };
    const auto le_a_janela = [&](pid_t pid) {
        return mapeia_bd(pid) && le_ficheiro("/proc/" + std::to_string(pid) + "/syscall").starts_with("-1 ");
    };
    for (int vez = 0; vez < 4; ++vez) {
        const pid_t filho = fork();
        if (filho == 0) {
            signal(SIGBUS, SIG_DFL);  // as in the programs (a sanitizer has its own)
            for (;;)
                if (le("alvo") != indices{199999})
                    _exit(3);
        }
        int estado = 0;
        bool dentro = false;
        for (int tentativa = 0; tentativa < 10000 && !dentro; ++tentativa) {
            if (!mapeia_bd(filho))
                continue;
            ASSERT_EQ(kill(filho, SIGSTOP), 0);
            ASSERT_EQ(waitpid(filho, &estado, WUNTRACED), filho);
            dentro = le_a_janela(filho);
            if (dentro) {
                ASSERT_EQ(kill(filho, SIGBUS), 0);
            }
            ASSERT_EQ(kill(filho, SIGCONT), 0);
        }
        EXPECT_TRUE(dentro) << "the child was never stopped inside a window";
        if (!dentro)
            kill(filho, SIGBUS);
        if (!termina_em(filho, 5, estado)) {
            ADD_FAILURE() << "the scan took the signal for a fault and went on";
            continue;
        }
        ASSERT_TRUE(WIFSIGNALED(estado) && WTERMSIG(estado) == SIGBUS)
            << (WIFEXITED(estado) ? "the scan ended early, status " + std::to_string(WEXITSTATUS(estado))
                                  : "died of signal " + std::to_string(WTERMSIG(estado)));
    }
}

TEST_P(VarrimentoEmCadaVia, RecordTornByACutWithinThePageOrAppendedIsNotVisited)
{
    // Past the end of the file, the rest of its last page reads as zeros:
    // a record cut to its first 10 bytes would show its name with state 0.
    escreve_ficheiro(bd(), registo("alvo", 0, 0, 7) + registo("x", 0, 0, 1) + registo("alvo", 2, 2, 1));
    EXPECT_EQ(le("alvo", [&](size_t) { EXPECT_EQ(truncate(bd().c_str(), 2 * tamanho_registo + 10), 0); }), indices{0});
    // Records appended during the reading are not read.
    escreve_ficheiro(bd(), registo("alvo", 0, 0, 0) + registo("outro", 0, 0, 1));
    EXPECT_EQ(le("alvo", [&](size_t) {
                  const std::string mais = registo("alvo", 5, 0, 1);
                  const int fd = open(bd().c_str(), O_WRONLY | O_APPEND);
                  EXPECT_EQ(write(fd, mais.data(), mais.size()), tamanho_registo);
                  close(fd);
              }),
              indices{0});
}

TEST_F(Varrimento, NameArgumentIsBoundedByItsBuffer)
{
    char buffer[24];
    EXPECT_EQ(copia_nome(buffer, sizeof buffer, "abc"), "abc");
    EXPECT_EQ(buffer[3], '\0');
    const std::string longo(100, 'z');
    const std::string_view copia = copia_nome(buffer, sizeof buffer, longo.c_str());
    EXPECT_EQ(copia, longo.substr(0, 24));
    escreve_ficheiro(bd(), registo(std::string(16, 'z'), 0, 0, 1));
    EXPECT_EQ(le(copia), indices{});
}

}  // namespace
