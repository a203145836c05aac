// The filters are built from rules, "this call, with these arguments, fails",
// tried in order; a call no rule matches goes through. Each rule compiles to
// a block whose every test jumps, when it fails, to the block's end, where
// the next rule starts: the builder works out every jump, none is counted by
// hand.
#include "falhas.h"

#include <bit>
#include <cstddef>
#include <cstring>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <string>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// The architecture that seccomp reports for this program's own system calls,
// whose numbers <sys/syscall.h> gives: a filter acts only on calls of it.
#if defined(__x86_64__) && defined(__ILP32__)
constexpr unsigned int arquitetura_auditada = 0;  // x32: the numbers carry a flag of their own
#elif defined(__x86_64__)
constexpr unsigned int arquitetura_auditada = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
constexpr unsigned int arquitetura_auditada = AUDIT_ARCH_I386;
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
constexpr unsigned int arquitetura_auditada = AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && !defined(__ARMEB__)
constexpr unsigned int arquitetura_auditada = AUDIT_ARCH_ARM;
#elif defined(__s390x__)
constexpr unsigned int arquitetura_auditada = AUDIT_ARCH_S390X;
#elif defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
constexpr unsigned int arquitetura_auditada = AUDIT_ARCH_PPC64LE;
#elif defined(__riscv) && __riscv_xlen == 64
constexpr unsigned int arquitetura_auditada = AUDIT_ARCH_RISCV64;
#else
constexpr unsigned int arquitetura_auditada = 0;
#endif

// The ipc multiplexer's first argument for the calls it stands for
// (<linux/ipc.h>, which cannot be included beside <sys/ipc.h>).
constexpr unsigned int ipc_semget = 2;
constexpr unsigned int ipc_shmat = 21;

// A test on the low 32 bits of a call's argument.
enum class teste { igual, pelo_menos, algum_bit };
struct condicao {
    unsigned int argumento;
    teste como;
    uint32_t valor;
};
// The call `chamada` fails when every condition holds.
struct regra {
    long chamada;
    std::vector<condicao> condicoes;
};

// Where a filter loads the low 32 bits of a call's argument n, which the
// kernel hands over as 64 bits in the host's byte order.
constexpr unsigned int argumento(unsigned int n)
{
    return static_cast<unsigned int>(offsetof(struct seccomp_data, args) + 8 * n +
                                     (std::endian::native == std::endian::big ? 4 : 0));
}

sock_filter carrega(unsigned int onde)
{
    return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, onde);
}

sock_filter devolve(unsigned int acao)
{
    return BPF_STMT(BPF_RET | BPF_K, acao);
}

// A jump past the rest of its block when `valor` fails the test; its false
// offset is set once the block is whole.
sock_filter salta_se_nao(teste como, uint32_t valor)
{
    constexpr unsigned short codigos[] = {BPF_JEQ, BPF_JGE, BPF_JSET};
    return BPF_JUMP(BPF_JMP | codigos[static_cast<int>(como)] | BPF_K, valor, 0, 0);
}

std::vector<sock_filter> bloco(const regra &r, int erro)
{
    std::vector<sock_filter> b = {carrega(offsetof(struct seccomp_data, nr)),
                                  salta_se_nao(teste::igual, static_cast<uint32_t>(r.chamada))};
    for (const condicao &c : r.condicoes) {
        b.push_back(carrega(argumento(c.argumento)));
        b.push_back(salta_se_nao(c.como, c.valor));
    }
    b.push_back(devolve(SECCOMP_RET_ERRNO | static_cast<unsigned int>(erro)));
    for (size_t i = 0; i < b.size(); ++i)
        if (BPF_CLASS(b[i].code) == BPF_JMP)
            b[i].jf = static_cast<unsigned char>(b.size() - i - 1);
    return b;
}

// Ends the process, saying why on standard error, where the test that
// compares it sees it: a fault that cannot be injected must not let a test
// pass.
[[noreturn]] void sem_filtro(const std::string &porque)
{
    const std::string texto = "fault injection: " + porque + "\n";
    if (write(STDERR_FILENO, texto.data(), texto.size()) < 0) {
    }
    _exit(126);
}

// Installs the filter of `regras` with `erro`, after a check that the call is
// of this program's architecture (a call of another one, as a 32-bit program
// on a 64-bit kernel makes, is killed: its numbers mean other calls).
void instala(const std::vector<regra> &regras, int erro)
{
    if (arquitetura_auditada == 0)
        sem_filtro("no seccomp architecture is known for this processor");
    std::vector<sock_filter> filtro = {
        carrega(offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arquitetura_auditada, 1, 0),
        devolve(SECCOMP_RET_KILL_PROCESS),
    };
    for (const regra &r : regras) {
        const std::vector<sock_filter> b = bloco(r, erro);
        filtro.insert(filtro.end(), b.begin(), b.end());
    }
    filtro.push_back(devolve(SECCOMP_RET_ALLOW));
    struct sock_fprog programa = {static_cast<unsigned short>(filtro.size()), filtro.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &programa) == -1)
        sem_filtro(std::string("no seccomp filter (") + std::strerror(errno) + ")");
}

// The rules that fail an IPC call whether the C library makes it as a call of
// its own (`numero`; -1 where the host has none) or through the ipc
// multiplexer (whose first argument is `operacao`, the call's own arguments
// after it), when `condicoes` (arguments counted as in the call of its own)
// hold.
std::vector<regra> regras_ipc(long numero, [[maybe_unused]] unsigned int operacao,
                              const std::vector<condicao> &condicoes = {})
{
    std::vector<regra> regras;
    if (numero != -1)
        regras.push_back({numero, condicoes});
#ifdef SYS_ipc
    regra multiplexada = {SYS_ipc, {{0, teste::igual, operacao}}};
    for (condicao c : condicoes) {
        ++c.argumento;
        multiplexada.condicoes.push_back(c);
    }
    regras.push_back(multiplexada);
#endif
    return regras;
}

// The calls of their own, where the host has them.
#ifdef SYS_shmat
constexpr long chamada_shmat = SYS_shmat;
#else
constexpr long chamada_shmat = -1;
#endif
#ifdef SYS_semget
constexpr long chamada_semget = SYS_semget;
#else
constexpr long chamada_semget = -1;
#endif

// mmap as the C library makes it: mmap2 on the hosts that have it.
#ifdef SYS_mmap2
constexpr long chamada_mmap = SYS_mmap2;
#else
constexpr long chamada_mmap = SYS_mmap;
#endif

// Fails the mmap calls with these argument tests, where a filter can see
// the arguments.
void falha_mmap(const std::vector<condicao> &condicoes, int erro)
{
#if defined(__s390x__)
    sem_filtro("s390x's mmap takes its arguments in memory, where a filter cannot test them");
#endif
    instala({{chamada_mmap, condicoes}}, erro);
}

}  // namespace

void falha_mmap_partilhado(int erro)
{
    falha_mmap({{3, teste::algum_bit, MAP_SHARED}}, erro);
}

void falha_mmap_de(uint32_t bytes, int erro)
{
    falha_mmap({{1, teste::igual, bytes}}, erro);
}

void falha_escritas(int erro, int fd)
{
    instala({{SYS_pwrite64, {}}, {SYS_write, {{0, teste::igual, static_cast<uint32_t>(fd)}}}}, erro);
}

void falha_chamada(std::initializer_list<long> numeros, int erro)
{
    std::vector<regra> regras;
    for (const long numero : numeros)
        regras.push_back({numero, {}});
    instala(regras, erro);
}

void falha_leituras_desde(uint32_t desvio, int erro)
{
    // The offset's low word: the fourth argument, or on 32-bit Arm, which
    // aligns a 64-bit argument to a pair of registers, the fifth.
#if defined(__arm__)
    constexpr unsigned int posicao = 4;
#else
    constexpr unsigned int posicao = 3;
#endif
    instala({{SYS_pread64, {{posicao, teste::pelo_menos, desvio}}}}, erro);
}

void falha_shmat(int erro)
{
    instala(regras_ipc(chamada_shmat, ipc_shmat), erro);
}

void falha_semget_exclusivo(int erro)
{
    instala(regras_ipc(chamada_semget, ipc_semget, {{2, teste::algum_bit, IPC_EXCL}}), erro);
}
