#include "common/varrimento.h"

#include "common/leitor.h"

#include <cerrno>

medicamento m;

int64_t percorre(int fd, std::string_view nome, teste_do_registo aceita, modo_de_leitura modo)
{
    if (!comeca_leitura(fd, nome, modo))
        return erro_leitura;
    medicamento registo;
    int64_t j = nenhum_aceite;
    lido l;
    while ((l = proximo(registo, j)) == lido::registo && !aceita(ordem_do_ficheiro(registo.estado))) {
    }
    acaba_leitura();
    if (l == lido::registo) {
        m = registo;
        return j;
    }
    return l == lido::fim ? nenhum_aceite : erro_leitura;
}
