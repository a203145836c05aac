// The manual pages against the programs: every exit status that a page lists
// is one that its program gives. (tests/paginas checks the messages.)
#include "apoio.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>

namespace {

using Manual = Ambiente;

// The statuses listed in the EXIT STATUS section of a page: each entry is
// ".TP", then ".B <status>".
std::set<int> estados_da_pagina(const std::string &pagina)
{
    std::ifstream f(std::string(MANUAIS) + "/" + pagina);
    std::set<int> estados;
    std::string linha, anterior;
    bool na_seccao = false;
    while (std::getline(f, linha)) {
        if (linha.starts_with(".SH"))
            na_seccao = linha == ".SH EXIT STATUS";
        else if (na_seccao && anterior == ".TP" && linha.starts_with(".B "))
            estados.insert(std::stoi(linha.substr(3)));
        anterior = linha;
    }
    return estados;
}

TEST_F(Manual, EachExitStatusAPageListsIsOneTheProgramGives)
{
    struct caso {
        std::function<void()> prepara;
        std::vector<std::string> argumentos;
        opcoes o;
    };
    const auto estados = [this](const char *programa, const std::vector<caso> &casos) {
        std::set<int> vistos;
        for (const caso &c : casos) {
            std::filesystem::remove_all(bd());
            c.prepara();
            vistos.insert(corre(programa, c.argumentos, c.o).estado);
        }
        return vistos;
    };
    const auto base = [this] { escreve_ficheiro(bd(), registo("abc", 1, 2, 1)); };
    const auto nada = [] {};
    const opcoes cheio{.stdout_para = "/dev/full"};
    EXPECT_EQ(estados_da_pagina("procura.1"), estados(PROCURA, {{base, {"abc"}}, {nada, {"abc"}}}));
    EXPECT_EQ(estados_da_pagina("alterna.1"), estados(ALTERNA, {{base, {"abc"}}, {base, {"abc"}, cheio}}));
    EXPECT_EQ(estados_da_pagina("povoa.1"),
              estados(POVOA_TESTE, {{nada, {"--help"}}, {nada, {"-x"}}, {[this] { mkdir(bd().c_str(), 0755); }, {}}}));
}

}  // namespace
