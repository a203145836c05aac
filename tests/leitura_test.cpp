// procura and alterna on files that cannot be mapped whole: a sparse file
// larger than its file system, and records that cannot be read at all.
#include "apoio.h"
#include "falhas.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// The file: a hole but for its last record, which starts at a page
// boundary (of every page size up to 64 KiB) within the last piece, after
// 2 MiB less 64 KiB of hole in that piece: 256 MiB less 64 KiB in all.
constexpr int64_t grande = (int64_t{256} << 20) - 65536 + tamanho_registo;
constexpr int64_t registos = grande / tamanho_registo;
static_assert((grande - tamanho_registo) % (7 * 65536) == 0 && (grande - tamanho_registo) % bytes_por_peca != 0);

// A tmpfs of 64 MiB holding a sparse BD.bin of `registos` records, the last
// one `fundo`; BD.bin in the test's directory leads to it. Nothing read
// from it may give its holes real pages: on a tmpfs a page of a hole that
// is mapped and touched becomes real.
class Leitura : public Ambiente {
protected:
    void SetUp() override
    {
        Ambiente::SetUp();
        if (IsSkipped())
            return;
        raiz = tmpfs_solto("64m");
        if (raiz == -1)
            GTEST_SKIP() << "no tmpfs may be mounted here (" << std::strerror(errno) << ")";
        ficheiro = raiz_de(raiz) + "/BD.bin";
        const int fd = open(ficheiro.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
        ASSERT_NE(fd, -1) << std::strerror(errno);
        ASSERT_EQ(pwrite(fd, ultimo.data(), ultimo.size(), (registos - 1) * tamanho_registo), tamanho_registo);
        close(fd);
        ASSERT_EQ(symlink(ficheiro.c_str(), bd().c_str()), 0);
    }
    void TearDown() override
    {
        if (raiz != -1)
            close(raiz);
        Ambiente::TearDown();
    }
    // Bytes the tmpfs holds now.
    int64_t ocupados()
    {
        struct statvfs st;
        EXPECT_EQ(fstatvfs(raiz, &st), 0);
        return static_cast<int64_t>((st.f_blocks - st.f_bfree) * st.f_frsize);
    }
    // The file as it must be: a hole, then `fim`.
    void ficheiro_e(const std::string &fim)
    {
        const int fd = open(ficheiro.c_str(), O_RDONLY);
        ASSERT_NE(fd, -1);
        EXPECT_EQ(lseek(fd, 0, SEEK_END), grande);
        const int64_t pagina = sysconf(_SC_PAGESIZE);
        EXPECT_EQ(lseek(fd, 0, SEEK_DATA), (grande - tamanho_registo) / pagina * pagina) << "a hole became data";
        std::string bytes(sizeof(medicamento), '\0');
        EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), grande - tamanho_registo), tamanho_registo);
        EXPECT_EQ(bytes, fim);
        close(fd);
    }
    int raiz = -1;
    std::string ficheiro;
    const std::string ultimo = registo("fundo", 11, 22, 1);
};

// The ways the reader may be asked to take the pieces it may map or read:
// a hole and an unreadable page are handled alike whichever way.
const char *const vias[] = {"escolhe", "mapa", "leitura", "alterna"};

TEST_F(Leitura, SparseFileLargerThanItsFileSystemIsSearchedWithoutFillingIt)
{
    const int64_t antes = ocupados();
    for (const char *via : vias) {
        const opcoes o{.ambiente = {{"FARMACIA_LEITURA", via}}};
        EXPECT_EQ(corre(PROCURA, {"fundo"}, o), (execucao{0, encontrado("fundo", 11, 22), ""})) << via;
        // The empty name matches the hole's first record, of state 0.
        EXPECT_EQ(corre(PROCURA, {""}, o), (execucao{0, "Medicamento Indisponivel\n", ""})) << via;
        EXPECT_EQ(ocupados(), antes) << "the search gave the hole real pages, " << via;
        EXPECT_EQ(corre(ALTERNA, {"fundo"}, o), (execucao{0, "\nmedicamento apagado\n\n", ""})) << via;
        ficheiro_e(registo("fundo", 11, 22, 0));
        EXPECT_EQ(ocupados(), antes) << via;
        EXPECT_EQ(corre(ALTERNA, {"fundo"}, o), (execucao{0, "\nficheiro recuperado\n\n", ""})) << via;
    }
}

TEST_F(Leitura, RecordsThatCannotBeReadAreAnErrorNeverAnAnswer)
{
    // Past the first 16 MiB the file cannot be read, as from a failing disk.
    for (const char *via : vias) {
        const opcoes sem_leitura = {.antes_de_exec = [] { falha_leituras_desde(16 << 20, EIO); },
                                    .ambiente = {{"FARMACIA_LEITURA", via}}};
        EXPECT_EQ(corre(PROCURA, {"fundo"}, sem_leitura), (execucao{1, "", "BD.bin: Input/output error\n"})) << via;
        EXPECT_EQ(corre(ALTERNA, {"fundo"}, sem_leitura), (execucao{1, "", "BD.bin: Input/output error\n"})) << via;
        ficheiro_e(ultimo);
    }
}

}  // namespace
