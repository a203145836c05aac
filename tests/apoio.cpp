#include "apoio.h"

#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/securebits.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

std::string registo(std::string_view nome, int32_t stock, int32_t vendas, int32_t estado)
{
    medicamento r{};
    std::memcpy(r.nome, nome.data(), std::min(nome.size(), sizeof r.nome));
    r.stock = ordem_do_ficheiro(stock);
    r.vendas = ordem_do_ficheiro(vendas);
    r.estado = ordem_do_ficheiro(estado);
    return {reinterpret_cast<const char *>(&r), sizeof r};
}

std::string le_ficheiro(const std::string &caminho)
{
    std::ifstream f(caminho, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void escreve_ficheiro(const std::string &caminho, const std::string &bytes)
{
    std::ofstream f(caminho, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << caminho;
}

chaves_do_teste chaves;

// Whether `chave` is one of this test's.
static bool deste_teste(int chave)
{
    // 0 is IPC_PRIVATE, never a test's key.
    return chave > 0 && (chave == chaves.procura || chave == chaves.alterna ||
                         (chave >= chaves.propria && chave < chaves.propria + chaves_proprias));
}

std::vector<conjunto> conjuntos()
{
    std::vector<conjunto> lista;
    std::ifstream f("/proc/sysvipc/sem");
    std::string linha;
    std::getline(f, linha);  // column names
    while (std::getline(f, linha)) {
        std::istringstream campos(linha);
        conjunto c{};
        std::string permissoes;
        campos >> c.chave >> c.id >> permissoes >> c.semaforos;
        if (!deste_teste(c.chave))
            continue;
        c.permissoes = std::stoi(permissoes, nullptr, 8);
        c.valor = semctl(c.id, 0, GETVAL);
        lista.push_back(c);
    }
    return lista;
}

// Removes the semaphore sets and shared-memory segments of this test's keys.
static void remove_os_do_teste()
{
    for (int k : {chaves.procura, chaves.alterna})
        if (const int id = deste_teste(k) ? semget(k, 0, 0) : -1; id != -1)
            semctl(id, 0, IPC_RMID);
    for (int k = chaves.propria; k < chaves.propria + chaves_proprias; ++k) {
        if (!deste_teste(k))
            continue;
        if (const int id = semget(k, 0, 0); id != -1)
            semctl(id, 0, IPC_RMID);
        if (const int id = shmget(k, 0, 0); id != -1)
            shmctl(id, IPC_RMID, nullptr);
    }
}

void Diretorio::SetUp()
{
    char modelo[] = "/tmp/farmacia-teste-XXXXXX";
    ASSERT_NE(mkdtemp(modelo), nullptr) << std::strerror(errno);
    dir = modelo;
    std::filesystem::create_directory(dir + "/.saida");
}

// Writes `texto` to a file of /proc/self; the error number, or 0.
static int escreve_proc(const char *ficheiro, const std::string &texto)
{
    const int fd = open(ficheiro, O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return errno;
    const bool certo = write(fd, texto.data(), texto.size()) == static_cast<ssize_t>(texto.size());
    const int erro = errno;
    close(fd);
    return certo ? 0 : erro;
}

// Makes the calling process the owner of a new user namespace in which its
// own uid and gid, and nothing else, are mapped to themselves. The error
// number, or 0.
int entra_em_namespace_de_utilizador()
{
    const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
    if (unshare(CLONE_NEWUSER) == -1)
        return errno;
    if (const int erro = escreve_proc("/proc/self/uid_map", uid + " " + uid + " 1\n"))
        return erro;
    // An unprivileged process may map its gid only once it gives up setgroups.
    if (const int erro = escreve_proc("/proc/self/setgroups", "deny"))
        return erro;
    return escreve_proc("/proc/self/gid_map", gid + " " + gid + " 1\n");
}

void Ambiente::SetUp()
{
    // A block of keys that no set or segment has now, named after this
    // process, which no other process alive has: another run of the suite
    // picks another block, and the machine's programs use 2345 and 4567.
    const auto livre = [](int k) {
        return semget(k, 0, 0) == -1 && errno == ENOENT && shmget(k, 0, 0) == -1 && errno == ENOENT;
    };
    constexpr int por_bloco = 2 + chaves_proprias;
    for (unsigned n = 0;; ++n) {
        const int base = 0x46000000 + static_cast<int>((static_cast<unsigned>(getpid()) + n * 7919u) % 0x100000u) * por_bloco;
        bool todas = true;
        for (int k = base; k < base + por_bloco && todas; ++k)
            todas = livre(k);
        if (todas) {
            chaves = {base, base + 1, base + 2};
            break;
        }
    }
    setenv("FARMACIA_CHAVE_PROCURA", std::to_string(chaves.procura).c_str(), 1);
    setenv("FARMACIA_CHAVE_ALTERNA", std::to_string(chaves.alterna).c_str(), 1);
    Diretorio::SetUp();
}

void Ambiente::TearDown()
{
    remove_os_do_teste();
    Diretorio::TearDown();
}

void ChavesReais::SetUp()
{
    if (unshare(CLONE_NEWIPC) == -1) {
        const int erro_ipc = errno;
        int erro_utilizador = entra_em_namespace_de_utilizador();
        if (erro_utilizador == 0 && unshare(CLONE_NEWIPC) == -1)
            erro_utilizador = errno;
        if (erro_utilizador != 0)
            GTEST_SKIP() << "neither a private IPC namespace (" << std::strerror(erro_ipc)
                         << ") nor a user namespace to make one in (" << std::strerror(erro_utilizador)
                         << ") may be created here: the programs' own keys 2345 and 4567 are not tested";
    }
    chaves = {2345, 4567, 0};
    unsetenv("FARMACIA_CHAVE_PROCURA");
    unsetenv("FARMACIA_CHAVE_ALTERNA");
    Diretorio::SetUp();
}

void larga_direitos()
{
    // A process that holds no capability, as an ordinary user outside a
    // user namespace of its own, has none to drop, and may not set the bits.
    __user_cap_header_struct quem{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct tem[_LINUX_CAPABILITY_U32S_3] = {};
    if (getuid() != 0 && syscall(SYS_capget, &quem, tem) == 0 &&
        (tem[0].permitted | tem[1].permitted | tem[0].effective | tem[1].effective) == 0)
        return;
    // With SECBIT_NOROOT an exec by uid 0 no longer grants every capability;
    // then the capset empties the permitted, effective, inheritable and so
    // ambient sets.
    __user_cap_header_struct cabecalho{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct nenhuma[_LINUX_CAPABILITY_U32S_3] = {};
    if (prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED, 0, 0, 0) == -1 ||
        syscall(SYS_capset, &cabecalho, nenhuma) == -1)
        _exit(100);
}

void Diretorio::TearDown()
{
    if (!dir.empty())
        std::filesystem::remove_all(dir);
}

execucao Ambiente::corre(const std::string &programa, const std::vector<std::string> &argumentos,
                         const opcoes &o)
{
    return espera(lanca(programa, argumentos, o), o);
}

static std::string saida_de(const std::string &dir, int vez, const char *qual)
{
    return dir + "/.saida/" + qual + std::to_string(vez);
}

pid_t Ambiente::lanca(const std::string &programa, const std::vector<std::string> &argumentos,
                      const opcoes &o, int vez)
{
    const std::string saida = saida_de(dir, vez, "out"), erros = saida_de(dir, vez, "err");
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv{const_cast<char *>(programa.c_str())};
        for (const auto &a : argumentos)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const int out = open(o.stdout_para.empty() ? saida.c_str() : o.stdout_para.c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int err = open(erros.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int in = open("/dev/null", O_RDONLY);
        if (out == -1 || err == -1 || in == -1 || dup2(out, 1) == -1 || dup2(err, 2) == -1 ||
            dup2(in, 0) == -1 || chdir(dir.c_str()) == -1)
            _exit(127);
        for (const int fd : {out, err, in})
            if (fd > 2)
                close(fd);
        if (o.sem_direitos)
            larga_direitos();
        if (o.antes_de_exec)
            o.antes_de_exec();
        execv(programa.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

bool termina_em(pid_t pid, int segundos, int &estado)
{
    for (int i = 0; i < segundos * 100; ++i) {
        if (waitpid(pid, &estado, WNOHANG) == pid)
            return true;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &estado, 0);
    return false;
}

execucao Ambiente::espera(pid_t pid, const opcoes &o, int vez)
{
    int estado = 0;
    const bool terminou = termina_em(pid, o.segundos, estado);
    if (!terminou)
        ADD_FAILURE() << "a run did not end within " << o.segundos << " s";
    return {terminou && WIFEXITED(estado) ? WEXITSTATUS(estado) : -1,
            o.stdout_para.empty() ? le_ficheiro(saida_de(dir, vez, "out")) : "",
            le_ficheiro(saida_de(dir, vez, "err")), terminou && WIFSIGNALED(estado) ? WTERMSIG(estado) : 0};
}

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

// Where a filter loads the low 32 bits of a call's argument n, which the
// kernel hands over as 64 bits in the host's byte order.
static constexpr unsigned int argumento(unsigned int n)
{
    return static_cast<unsigned int>(offsetof(struct seccomp_data, args) + 8 * n +
                                     (std::endian::native == std::endian::big ? 4 : 0));
}

// Ends the process, saying why on standard error, where the test that
// compares it sees it: a fault that cannot be injected must not let a test
// pass.
[[noreturn]] static void sem_filtro(const char *porque)
{
    const std::string texto = std::string("fault injection: ") + porque + "\n";
    if (write(STDERR_FILENO, texto.data(), texto.size()) < 0) {
    }
    _exit(126);
}

// Installs a seccomp filter that starts with `corpo`, after a check that the
// call is of this program's architecture (a call of another one, as a
// 32-bit program on a 64-bit kernel makes, is killed: its numbers mean other
// calls); `corpo` reads the call's number itself.
static void instala_filtro(const std::vector<sock_filter> &corpo)
{
    if (arquitetura_auditada == 0)
        sem_filtro("no seccomp architecture is known for this processor");
    std::vector<sock_filter> filtro = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arquitetura_auditada, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
    };
    filtro.insert(filtro.end(), corpo.begin(), corpo.end());
    struct sock_fprog programa = {static_cast<unsigned short>(filtro.size()), filtro.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &programa) == -1)
        sem_filtro((std::string("no seccomp filter (") + std::strerror(errno) + ")").c_str());
}

void falha_escritas(int erro, int fd)
{
    const unsigned int falha = SECCOMP_RET_ERRNO | static_cast<unsigned int>(erro);
    instala_filtro({
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pwrite64, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, falha),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argumento(0)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(fd), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, falha),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    });
}

void falha_chamada(std::initializer_list<long> numeros, int erro)
{
    // One test per call number, each jumping on a match past the tests after
    // it and the ALLOW to the final ERRNO.
    std::vector<sock_filter> corpo = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr))};
    unsigned char depois = static_cast<unsigned char>(numeros.size());
    for (const long numero : numeros)
        corpo.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(numero), depois--, 0));
    corpo.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    corpo.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned int>(erro)));
    instala_filtro(corpo);
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
    instala_filtro({
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pread64, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argumento(posicao)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, desvio, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned int>(erro)),
    });
}

// Installs a filter that fails with `erro` a System V IPC call, whether the
// C library makes it as a call of its own (`numero`; -1 where the host has
// none) or through the ipc multiplexer (whose first argument is `operacao`,
// the call's own arguments after it). With `bits`, only a call whose
// argument `posicao` (counted as in the call of its own) has one of them.
static void falha_ipc(long numero, [[maybe_unused]] unsigned int operacao, int erro, unsigned int posicao = 0,
                      unsigned int bits = 0)
{
    std::vector<sock_filter> corpo = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr))};
    const unsigned char tamanho = bits ? 5 : 2;  // of what falha_se adds
    const auto falha_se = [&](unsigned int desvio) {
        if (bits) {
            corpo.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argumento(posicao + desvio)));
            corpo.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, bits));
            corpo.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0));
        }
        corpo.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned int>(erro)));
        corpo.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    };
    if (numero != -1) {
        corpo.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(numero), 0, tamanho));
        falha_se(0);
    }
#ifdef SYS_ipc
    corpo.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ipc, 0, static_cast<unsigned char>(tamanho + 2)));
    corpo.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argumento(0)));
    corpo.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, operacao, 0, tamanho));
    falha_se(1);
#endif
    corpo.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    instala_filtro(corpo);
}

void falha_shmat(int erro)
{
#ifdef SYS_shmat
    falha_ipc(SYS_shmat, 21, erro);
#else
    falha_ipc(-1, 21, erro);
#endif
}

void falha_semget_exclusivo(int erro)
{
#ifdef SYS_semget
    falha_ipc(SYS_semget, 2, erro, 2, IPC_EXCL);
#else
    falha_ipc(-1, 2, erro, 2, IPC_EXCL);
#endif
}

execucao em_filho(const std::function<int()> &f)
{
    char saida[] = "/tmp/farmacia-saida-XXXXXX", erros[] = "/tmp/farmacia-erros-XXXXXX";
    const int out = mkstemp(saida), err = mkstemp(erros);
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(err, 2);
        const int r = f();
        fflush(stdout);
        _exit(r & 0xff);
    }
    int estado = 0;
    waitpid(pid, &estado, 0);
    close(out);
    close(err);
    execucao e{WIFEXITED(estado) ? WEXITSTATUS(estado) : -1, le_ficheiro(saida), le_ficheiro(erros)};
    unlink(saida);
    unlink(erros);
    return e;
}

int tmpfs_montado_e_solto(const char *tamanho)
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1)
        return -1;
    char ponto[] = "/tmp/farmacia-tmpfs-XXXXXX";
    if (mkdtemp(ponto) == nullptr)
        return -1;
    int raiz = -1;
    if (mount("tmpfs", ponto, "tmpfs", 0, (std::string("size=") + tamanho).c_str()) == 0) {
        raiz = open(ponto, O_RDONLY | O_DIRECTORY);
        umount2(ponto, MNT_DETACH);
    }
    const int erro = errno;
    rmdir(ponto);
    errno = erro;
    return raiz;
}
