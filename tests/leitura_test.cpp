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

// The file: 256 MiB of whole records, a hole but for the last one.
constexpr int64_t registos = (int64_t{256} << 20) / tamanho_registo;
constexpr int64_t grande = registos * tamanho_registo;

// A tmpfs of 64 MiB holding a sparse BD.bin of `registos` records, the last
// one `fundo`; BD.bin in the test's directory leads to it.
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

TEST_F(Leitura, SparseFileLargerThanItsFileSystemIsSearchedWithoutFillingIt)
{
    const execucao achado = corre(PROCURA, {"fundo"});
    EXPECT_EQ(achado.saida, "\nMedicamento Encontrado\n\nNome fundo\nStock 11\nVendas 22\n\n");
    EXPECT_EQ(achado.erros, "");
    EXPECT_EQ(achado.estado, 0);
    // The empty name matches the hole's first record, of state 0.
    const execucao vazio = corre(PROCURA, {""});
    EXPECT_EQ(vazio.saida, "Medicamento Indisponivel\n");
    EXPECT_EQ(vazio.estado, 0);
    EXPECT_LT(ocupados(), int64_t{1} << 20) << "the search gave the hole real pages";

    const execucao apagado = corre(ALTERNA, {"fundo"});
    EXPECT_EQ(apagado.saida, "\nmedicamento apagado\n\n");
    EXPECT_EQ(apagado.erros, "");
    EXPECT_EQ(apagado.estado, 0);
    ficheiro_e(registo("fundo", 11, 22, 0));
    EXPECT_LT(ocupados(), int64_t{1} << 20);
}

TEST_F(Leitura, RecordsThatCannotBeReadAreAnErrorNeverAnAnswer)
{
    // Past the first 16 MiB the file cannot be read, as from a failing disk.
    const opcoes sem_leitura = {.antes_de_exec = [] { falha_leituras_desde(16 << 20, EIO); }};
    const execucao procura = corre(PROCURA, {"fundo"}, sem_leitura);
    EXPECT_EQ(procura.saida, "");
    EXPECT_EQ(procura.erros, "BD.bin: Input/output error\n");
    EXPECT_EQ(procura.estado, 1);

    const execucao alterna = corre(ALTERNA, {"fundo"}, sem_leitura);
    EXPECT_EQ(alterna.saida, "");
    EXPECT_EQ(alterna.erros, "BD.bin: Input/output error\n");
    EXPECT_EQ(alterna.estado, 1);
    ficheiro_e(ultimo);
}

}  // namespace
