// The switches of the builds that the tests run, all of them here. They are
// compiled into those builds only (tests/CMakeLists.txt), never into the
// installed programs, which read none of these variables:
//
// - FARMACIA_PARA_TESTES (procura_teste, alterna_teste): the semaphore keys
//   come from FARMACIA_CHAVE_PROCURA and FARMACIA_CHAVE_ALTERNA when they
//   are set, so that each test uses sets of its own, never the machine's.
// - POVOA_PARA_TESTES (povoa_teste, povoa_rand, povoa_longo): the seed comes
//   from POVOA_SEMENTE when it is set, and POVOA_SEM_AVX2 makes the
//   portable kernel run on a processor with AVX2 too.
// - POVOA_SEM_ATALHO (povoa_rand): every draw comes from rand() itself, as
//   on a C library whose rand() povoa does not know.
// - FARMACIA_PARA_TESTES, and FARMACIA_VIAS (procura_vias, which the
//   benchmark runs): FARMACIA_LEITURA, when it is set, says how the reader
//   takes each piece of the file that it may map or read (common/escolha.h):
//   "mapa", mapped; "leitura", read with pread; "alterna", the two by turns.
#pragma once

#include "common/escolha.h"

#include <cstdlib>
#include <string_view>

#ifdef FARMACIA_PARA_TESTES
constexpr bool chaves_do_teste = true;
#else
constexpr bool chaves_do_teste = false;
#endif
#ifdef POVOA_PARA_TESTES
constexpr bool povoa_do_teste = true;
#else
constexpr bool povoa_do_teste = false;
#endif
#if defined(FARMACIA_PARA_TESTES) || defined(FARMACIA_VIAS)
constexpr bool vias_do_teste = true;
#else
constexpr bool vias_do_teste = false;
#endif
#ifdef POVOA_SEM_ATALHO
constexpr bool sorteios_so_de_rand = true;
#else
constexpr bool sorteios_so_de_rand = false;
#endif

// The test's variable `nome` in a build with the switch `ligado`, or null;
// elsewhere always null, and the environment is not read.
template <bool ligado>
inline const char *do_teste([[maybe_unused]] const char *nome)
{
    if constexpr (ligado)
        return std::getenv(nome);
    else
        return nullptr;
}

// How the reader takes the pieces: by their cost, but in the builds with
// the switch, as FARMACIA_LEITURA says.
inline modo_de_leitura modo_pedido()
{
    const char *pedido = do_teste<vias_do_teste>("FARMACIA_LEITURA");
    if (pedido == nullptr)
        return modo_de_leitura::escolhe;
    const std::string_view p = pedido;
    return p == "mapa" ? modo_de_leitura::so_mapa
           : p == "leitura" ? modo_de_leitura::so_leitura
           : p == "alterna" ? modo_de_leitura::alterna
                            : modo_de_leitura::escolhe;
}
